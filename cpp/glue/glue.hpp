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

// {"Key": key, "Value": value}
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
// A service error or any other error of the SDK (waiter, credentials, ...).
bool isAwsError(const py::error_already_set &e);
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

// ---- checks of input ------------------------------------------------------

// What is wrong with a backup folder ("" when nothing): empty, absolute,
// starting with "." or climbing out with "..". The text is the refusal line.
std::string backupFolderProblem(const std::string &folder);
// True when a path has a ".." component.
bool climbsOut(const std::string &path);
// A dotted-decimal IPv4 address (a str, nothing else).
bool isIPv4(py::handle value);
// An IPv4 network in CIDR notation (host bits allowed), as a str.
bool isIPv4Network(py::handle value);
// A non-empty str of [A-Za-z0-9._:-] only: safe in a shell word and a file name.
bool isSafeName(py::handle value);
// An IAM role ARN: arn:<partition>:iam::<12 digits>:role/<name>.
bool isRoleArn(py::handle value);
// A valid S3 bucket name (3-63 of [a-z0-9.-], starting and ending alphanumeric).
bool isBucketName(py::handle value);

// ---- the tools' run-wide calls ------------------------------------------------

// One "  **Error** " line on the tool's logger, then exit status 1.
[[noreturn]] void refuseRun(const std::string &msg);
// Sets up the tool's log (console, and the file of a sound backup folder);
// a log file that cannot be written safely is a refusal.
void startLog(const std::string &folder);
// Runs a tool's work: an AWS error that reaches it (no credentials, unknown
// profile, no region, access denied, ...) is one error line and status 1; an
// interrupt is one line and status 130.
void guardMain(const std::function<void()> &body);
// The package's process-wide exit status.
int exitStatus();

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

py::object retryCall(py::object fn, py::tuple fargs, py::dict fkwargs, py::object exceptions, int tries, double delay);

// ---- AWS clients -------------------------------------------------------------

// A client of `service` from `session` whose requests share, per action, an
// adaptive pace across the process, and whose throttled requests are retried
// until they have been throttled for `giveUp` seconds (pacing.cpp).
py::object pacedClient(py::object session, const char *service, py::object region, double giveUp);

// ---- module start-up --------------------------------------------------------

// Refuses a second initialisation of the module in one process (ImportError)
// and warns when the interpreter's major.minor differs from the build's.
void moduleStartup(bool &initialised, const char *name);

}  // namespace glue
