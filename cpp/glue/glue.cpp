#include "glue/glue.hpp"

#include <Python.h>

#include <regex>

namespace glue {

py::object imp(const char *name) { return py::module_::import(name); }

std::string text(py::handle obj) { return py::str(obj).cast<std::string>(); }

bool eq(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object opt(py::handle args, const char *name) { return py::getattr(args, name, py::none()); }

bool given(py::handle args, const char *name) { return truthy(opt(args, name)); }

py::object item(py::handle mapping, const char *key) {
    if (!has(mapping, key)) return py::none();
    return mapping[py::str(key)];
}

bool has(py::handle mapping, const char *key) {
    if (mapping.is_none()) return false;
    if (!py::isinstance<py::dict>(mapping)) return false;
    return mapping.cast<py::dict>().contains(key);
}

py::dict filter(const char *name, py::list values) {
    py::dict f;
    f["Name"] = name;
    f["Values"] = values;
    return f;
}

py::list one(py::object value) {
    py::list l;
    l.append(value);
    return l;
}

py::dict tag(const std::string &key, const std::string &value) {
    py::dict t;
    t["Key"] = key;
    t["Value"] = value;
    return t;
}

py::object logger(const char *name) { return imp("logging").attr("getLogger")(name); }

void info(const py::object &lg, const std::string &msg) { lg.attr("info")(msg); }

void error(const py::object &lg, const std::string &msg) { lg.attr("error")(msg); }

bool isServiceError(const py::error_already_set &e) {
    return e.matches(imp("botocore.exceptions").attr("ClientError"));
}

bool isAwsError(const py::error_already_set &e) {
    return isServiceError(e) || e.matches(imp("botocore.exceptions").attr("BotoCoreError"));
}

std::optional<std::string> awsErrorCode(const py::error_already_set &e) {
    if (!isServiceError(e)) return std::nullopt;
    py::object response = py::getattr(e.value(), "response", py::dict());
    py::object err = item(response, "Error");
    py::object code = item(err, "Code");
    if (code.is_none()) return std::string();
    return text(code);
}

std::string errorText(const py::error_already_set &e) { return text(e.value()); }

void printTraceback(const py::error_already_set &e) {
    py::object tb = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
    imp("traceback").attr("print_exception")(e.type(), e.value(), tb);
}

bool isExit(const py::error_already_set &e) {
    return e.matches(PyExc_SystemExit) || e.matches(PyExc_KeyboardInterrupt);
}

void raisePy(py::handle type, const std::string &msg) {
    PyErr_SetString(type.ptr(), msg.c_str());
    throw py::error_already_set();
}

void exitProcess(int status) {
    imp("sys").attr("exit")(status);
    throw std::logic_error("sys.exit returned");  // not reached
}

void raiseExitStatus(int status) {
    imp("brimvale_testlibs.bin.core.AppExitStatus").attr("AppExitStatus").attr("raiseStatus")(status);
}

void sleepSeconds(double seconds) { imp("time").attr("sleep")(seconds); }

std::string jsonText(py::handle obj, bool indent) {
    py::object dumps = imp("json").attr("dumps");
    if (indent) return dumps(obj, "indent"_a = 2).cast<std::string>();
    return dumps(obj).cast<std::string>();
}

py::object readJsonFile(const std::string &path) {
    py::object f = imp("builtins").attr("open")(path, "r");
    py::object result;
    try {
        result = imp("json").attr("load")(f);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return result;
}

bool pathExists(const std::string &path) { return truthy(imp("os.path").attr("lexists")(path)); }

void makeDirs(const std::string &path) {
    if (path.empty()) return;
    imp("os").attr("makedirs")(path, "exist_ok"_a = true);
}

void writeTextAtomic(const std::string &path, const std::string &content, int mode) {
    py::object os = imp("os");
    py::object ospath = imp("os.path");
    std::string folder = ospath.attr("dirname")(ospath.attr("abspath")(path)).cast<std::string>();
    // mkstemp creates the file with mode 0600: a private key is never readable
    // by others, not even for a moment.
    py::tuple made = imp("tempfile").attr("mkstemp")("dir"_a = folder, "prefix"_a = ".tmp-", "suffix"_a = ".part");
    py::object fd = made[0];
    std::string tmp = made[1].cast<std::string>();
    try {
        if (mode < 0) {
            // Ordinary files get the mode the process would give a new file.
            int mask = os.attr("umask")(022).cast<int>();
            os.attr("umask")(mask);
            mode = 0666 & ~mask;
        }
        os.attr("fchmod")(fd, mode);
        py::object f = os.attr("fdopen")(fd, "w", "encoding"_a = "utf-8");
        f.attr("write")(content);
        f.attr("flush")();
        os.attr("fsync")(f.attr("fileno")());
        f.attr("close")();
        os.attr("replace")(tmp, path);
    } catch (...) {
        try {
            os.attr("unlink")(tmp);
        } catch (py::error_already_set &) {}
        throw;
    }
}

void writeTestConfig(const std::string &path, py::handle records) { writeTextAtomic(path, jsonText(records) + "\n"); }

void publishTestConfig(const py::object &lg, py::handle records) {
    std::string body = jsonText(records);
    info(lg, "test.config:");
    info(lg, body);
    std::string path = text(imp("brimvale_testlibs.bin.core.Globals").attr("Globals").attr("TEST_CONFIG"));
    writeTextAtomic(path, body + "\n");
}

void collectRoutedSubnets(py::handle tables, const char *targetKey, py::dict byTarget,
                          const std::function<py::list(py::handle)> &subnetsOf) {
    for (auto table : tables["RouteTables"].cast<py::list>()) {
        py::object routes = item(table, "Routes");
        py::object assocs = item(table, "Associations");
        if (routes.is_none() || assocs.is_none()) continue;
        for (auto route : routes.cast<py::list>()) {
            py::object target = item(route, targetKey);
            if (target.is_none() || !byTarget.contains(target)) continue;
            py::list subnets = subnetsOf(byTarget[target]);
            for (auto assoc : assocs.cast<py::list>()) {
                py::object subnetId = item(assoc, "SubnetId");
                if (!subnetId.is_none()) subnets.append(subnetId);
            }
        }
    }
}

std::string gatewayAddress(py::handle cidr) {
    py::object net = imp("netaddr").attr("IPNetwork")(cidr);
    return text(net.attr("__getitem__")(1));
}

std::string backupFolderProblem(const std::string &folder) {
    if (folder.empty() || folder[0] == '/' || folder[0] == '.')
        return "Please remove the beginning \"/\" or a \".\" from backup_folder " + folder;
    if (climbsOut(folder)) return "  **Error** backup_folder " + folder + " must not climb out with \"..\"";
    return "";
}

bool climbsOut(const std::string &path) {
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (path.compare(start, slash - start, "..") == 0 && slash - start == 2) return true;
        start = slash + 1;
    }
    return false;
}

namespace {
bool matches(py::handle value, const std::regex &pattern) {
    if (!py::isinstance<py::str>(value)) return false;
    return std::regex_match(value.cast<std::string>(), pattern);
}
}  // namespace

bool isIPv4(py::handle value) {
    static const std::regex octets(R"((25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)(\.(25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d)){3})");
    return matches(value, octets);
}

bool isIPv4Network(py::handle value) {
    if (!py::isinstance<py::str>(value) || value.cast<std::string>().find('/') == std::string::npos) return false;
    try {
        imp("ipaddress").attr("IPv4Network")(value, "strict"_a = false);
        return true;
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_ValueError)) return false;
        throw;
    }
}

bool isSafeName(py::handle value) {
    static const std::regex safe(R"([A-Za-z0-9._:-]+)");
    return matches(value, safe);
}

bool isRoleArn(py::handle value) {
    static const std::regex arn(R"(arn:aws[a-z-]*:iam::\d{12}:role/[A-Za-z0-9+=,.@_/-]+)");
    return matches(value, arn);
}

bool isBucketName(py::handle value) {
    static const std::regex bucket(R"([a-z0-9][a-z0-9.-]{1,61}[a-z0-9])");
    return matches(value, bucket) && value.cast<std::string>().find("..") == std::string::npos;
}

void refuseRun(const std::string &msg) {
    error(logger(), "  **Error** " + msg);
    exitProcess(1);
}

void startLog(const std::string &folder) {
    try {
        imp("brimvale_testlibs.bin.lib.commonlib").attr("Common").attr("initLogLocation")(folder);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        refuseRun("cannot write the log in " + folder + ": " + errorText(e));
    }
}

void guardMain(const std::function<void()> &body) {
    try {
        body();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_SystemExit)) throw;
        if (e.matches(PyExc_KeyboardInterrupt)) {
            error(logger(), "  **Error** interrupted");
            exitProcess(130);
        }
        if (isAwsError(e)) refuseRun(errorText(e));
        throw;
    }
}

int exitStatus() {
    return imp("brimvale_testlibs.bin.core.AppExitStatus").attr("AppExitStatus")().attr("getStatus")().cast<int>();
}

py::object retryCall(py::object fn, py::tuple fargs, py::dict fkwargs, py::object exceptions, int tries, double delay) {
    return imp("retry.api")
        .attr("retry_call")(fn, "fargs"_a = fargs, "fkwargs"_a = fkwargs, "exceptions"_a = exceptions,
                            "tries"_a = tries, "delay"_a = delay, "logger"_a = py::none());
}

void moduleStartup(bool &initialised, const char *name) {
    if (initialised) throw py::import_error(std::string("module ") + name + " is already initialised in this process");
    initialised = true;
    py::object vi = imp("sys").attr("version_info");
    int major = vi.attr("major").cast<int>();
    int minor = vi.attr("minor").cast<int>();
    if (major != BUILT_PY_MAJOR || minor != BUILT_PY_MINOR) {
        std::string msg = std::string(name) + " was built for Python " + std::to_string(BUILT_PY_MAJOR) + "." +
                          std::to_string(BUILT_PY_MINOR) + " and runs on " + std::to_string(major) + "." +
                          std::to_string(minor);
        imp("warnings").attr("warn")(msg, imp("builtins").attr("RuntimeWarning"), 2);
    }
}

}  // namespace glue
