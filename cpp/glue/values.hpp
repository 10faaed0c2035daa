// Python values as the modules use them: imports, text, truthiness, options
// and mappings, logging, Python errors, and module start-up.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace glue {

namespace py = pybind11;
using namespace pybind11::literals;

// ---- values ------------------------------------------------------------------

// Imports a module (cached by Python's own module table).
py::object importModule(const char *name);

// Python's str() of a value: what log lines show (None reads "None").
std::string pyText(py::handle obj);

// Text from outside (a controller's answer, a service's message) made safe for
// one log line: control characters (CR, LF, escape, ...) are written as
// Python escapes.
std::string printable(const std::string &text);

// a == b as Python compares.
bool pyEquals(py::handle a, py::handle b);

// Truthiness as Python sees it.
bool truthy(py::handle obj);

// Attribute of an options object, or None when the caller's object lacks it.
py::object option(py::handle args, const char *name);

// An option that is given and truthy (a non-empty text, a set switch).
bool isGiven(py::handle args, const char *name);

// mapping[key] when `mapping` is a dict holding key, else None.
py::object getOrNone(py::handle mapping, const char *key);
bool hasKey(py::handle mapping, const char *key);

// [value]
py::list listOf(py::object value);

// ---- logging -----------------------------------------------------------------

py::object logger(const char *name = "brimvale_testlibs");
void info(const py::object &lg, const std::string &msg);
void error(const py::object &lg, const std::string &msg);

// ---- Python errors -------------------------------------------------------------

// str() of the raised exception.
std::string errorText(const py::error_already_set &e);
// Prints the error with its traceback to stderr, as an uncaught error would.
void printTraceback(const py::error_already_set &e);
// True for SystemExit / KeyboardInterrupt: never swallowed by "any error" handlers.
bool isExit(const py::error_already_set &e);
// Raises a Python exception of `type` with a message, as Python code would.
[[noreturn]] void raisePy(py::handle type, const std::string &msg);

// Sleeps through Python's time.sleep (releases the GIL; tests can patch it).
void sleepSeconds(double seconds);

// ---- module start-up -------------------------------------------------------------

// Refuses a second initialisation of the module in one process (ImportError)
// and warns when the interpreter's major.minor differs from the build's.
void moduleStartup(bool &initialised, const char *name);

}  // namespace glue
