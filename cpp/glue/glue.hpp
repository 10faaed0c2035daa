// Shared toolkit of every extension module of the package: small typed helpers
// over the Python objects the modules drive (boto3 clients, loggers, json, ...).
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace glue {

namespace py = pybind11;
using namespace pybind11::literals;

// ---- Python values ---------------------------------------------------------

// Imports a module (cached by Python's own module table).
py::object imp(const char *name);

// Python's str() of a value: what log lines show (None reads "None").
std::string text(py::handle obj);

// a == b as Python compares.
bool eq(py::handle a, py::handle b);

// Truthiness as Python sees it.
bool truthy(py::handle obj);

// Attribute of an options object, or None when the caller's object lacks it.
py::object opt(py::handle args, const char *name);

// A text option that is given and non-empty.
bool given(py::handle args, const char *name);

// obj[key] when obj is a mapping holding key, else None.
py::object item(py::handle mapping, const char *key);
bool has(py::handle mapping, const char *key);

// [{"Name": name, "Values": values}] building block.
py::dict filter(const char *name, py::list values);
py::list one(py::object value);

// {"ResourceType": type, "Tags": [{"Key": "Name", "Value": name}]} list.
py::list nameTagSpec(const char *resourceType, const std::string &name);
py::dict tag(const std::string &key, const std::string &value);

// ---- logging ---------------------------------------------------------------

py::object logger(const char *name = "brimvale_testlibs");
void info(const py::object &lg, const std::string &msg);
void error(const py::object &lg, const std::string &msg);

// ---- errors ----------------------------------------------------------------

// The "Error"/"Code" of a botocore ClientError, or nothing when the error is
// not a service error.
std::optional<std::string> awsErrorCode(const py::error_already_set &e);
bool isServiceError(const py::error_already_set &e);
// str() of the raised exception.
std::string errorText(const py::error_already_set &e);
// Prints the error with its traceback to stderr, as an uncaught error would.
void printTraceback(const py::error_already_set &e);
// True for SystemExit / KeyboardInterrupt: never swallowed by "any error" handlers.
bool isExit(const py::error_already_set &e);

// Raises a Python exception of `type` with a message, as Python code would.
[[noreturn]] void raisePy(py::handle type, const std::string &msg);

// Raises SystemExit(status): ends the process in the main thread, only the
// worker inside a worker thread.
[[noreturn]] void exitProcess(int status);

// Raises the package's process-wide exit status to at least `status`.
void raiseExitStatus(int status);

// Sleeps through Python's time.sleep (releases the GIL; tests can patch it).
void sleepSeconds(double seconds);

// ---- files -----------------------------------------------------------------

// JSON text as Python tools write it: indent 2, insertion order, ASCII escapes.
std::string jsonText(py::handle obj, bool indent = true);
// Parses a JSON file; raises the Python error on failure.
py::object readJsonFile(const std::string &path);
// Writes text atomically: temporary file in the same folder, then rename.
// `mode` is the file mode of the result (0600 files are never wider).
void writeTextAtomic(const std::string &path, const std::string &content, int mode = -1);
// The test config format: JSON text + "\n", written atomically.
void writeTestConfig(const std::string &path, py::handle records);
// Logs "test.config:" and the JSON text, then writes the file named by the
// run-wide TEST_CONFIG setting (the discovery libraries' writer).
void publishTestConfig(const py::object &lg, py::handle records);
bool pathExists(const std::string &path);
void makeDirs(const std::string &path);

// ---- route tables ------------------------------------------------------------

// Walks a describe_route_tables answer: for every route whose `targetKey`
// (NatGatewayId, NetworkInterfaceId, ...) is a key of `byTarget`, appends the
// subnets associated with the route's table to `subnetsOf(entry)`, once per
// matching route. Associations without a subnet (main table, gateway) are skipped.
void collectRoutedSubnets(py::handle tables, const char *targetKey, py::dict byTarget,
                          const std::function<py::list(py::handle)> &subnetsOf);

// ---- addresses -------------------------------------------------------------

// The gateway address of a subnet: network address plus one, dotted decimal.
std::string gatewayAddress(py::handle cidr);

// ---- threads ---------------------------------------------------------------

// One non-daemon Python thread per call, all created, all started, then joined
// in order. SystemExit ends one worker quietly; any other error is printed with
// its traceback by the standard thread excepthook; other workers never notice.
void runWorkers(const std::vector<std::pair<py::object, py::dict>> &calls);

// ---- retries through the `retry` package -----------------------------------

py::object retryCall(py::object fn, py::tuple fargs, py::dict fkwargs, py::object exceptions,
                     int tries, double delay);

// ---- module start-up --------------------------------------------------------

// Refuses a second initialisation of the module in one process (ImportError)
// and warns when the interpreter's major.minor differs from the build's.
void moduleStartup(bool &initialised, const char *name);

}  // namespace glue
