#include "glue/values.hpp"

#include <Python.h>

namespace glue {

py::object importModule(const char *name) { return py::module_::import(name); }

std::string pyText(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string printable(const std::string &text) {
    static const char *hex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool pyEquals(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object option(py::handle args, const char *name) { return py::getattr(args, name, py::none()); }

bool isGiven(py::handle args, const char *name) { return truthy(option(args, name)); }

py::object getOrNone(py::handle mapping, const char *key) {
    if (!hasKey(mapping, key)) return py::none();
    return mapping[py::str(key)];
}

bool hasKey(py::handle mapping, const char *key) {
    if (mapping.is_none()) return false;
    if (!py::isinstance<py::dict>(mapping)) return false;
    return mapping.cast<py::dict>().contains(key);
}

py::list listOf(py::object value) {
    py::list l;
    l.append(value);
    return l;
}

py::object logger(const char *name) { return importModule("logging").attr("getLogger")(name); }

void info(const py::object &lg, const std::string &msg) { lg.attr("info")(msg); }

void error(const py::object &lg, const std::string &msg) { lg.attr("error")(msg); }

std::string errorText(const py::error_already_set &e) { return pyText(e.value()); }

void printTraceback(const py::error_already_set &e) {
    py::object tb = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
    importModule("traceback").attr("print_exception")(e.type(), e.value(), tb);
}

bool isExit(const py::error_already_set &e) {
    return e.matches(PyExc_SystemExit) || e.matches(PyExc_KeyboardInterrupt);
}

void raisePy(py::handle type, const std::string &msg) {
    PyErr_SetString(type.ptr(), msg.c_str());
    throw py::error_already_set();
}

void sleepSeconds(double seconds) { importModule("time").attr("sleep")(seconds); }

void moduleStartup(bool &initialised, const char *name) {
    if (initialised) throw py::import_error(std::string("module ") + name + " is already initialised in this process");
    initialised = true;
    py::object vi = importModule("sys").attr("version_info");
    int major = vi.attr("major").cast<int>();
    int minor = vi.attr("minor").cast<int>();
    if (major != BUILT_PY_MAJOR || minor != BUILT_PY_MINOR) {
        std::string msg = std::string(name) + " was built for Python " + std::to_string(BUILT_PY_MAJOR) + "." +
                          std::to_string(BUILT_PY_MINOR) + " and runs on " + std::to_string(major) + "." +
                          std::to_string(minor);
        importModule("warnings").attr("warn")(msg, importModule("builtins").attr("RuntimeWarning"), 2);
    }
}

}  // namespace glue
