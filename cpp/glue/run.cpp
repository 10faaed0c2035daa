#include "glue/run.hpp"

#include "glue/aws.hpp"

#include <regex>

namespace glue {

py::object globalSettings() { return importModule(modules::kGlobals).attr("Globals"); }

py::object valueNotFoundError() { return importModule(modules::kValueNotFound).attr("ValueNotFoundException"); }

void exitProcess(int status) {
    importModule("sys").attr("exit")(status);
    throw std::logic_error("sys.exit returned");  // not reached
}

void raiseExitStatus(int status) {
    importModule(modules::kAppExitStatus).attr("AppExitStatus").attr("raiseStatus")(status);
}

int exitStatus() {
    return importModule(modules::kAppExitStatus).attr("AppExitStatus")().attr("getStatus")().cast<int>();
}

void refuseRun(const std::string &msg, const py::object &lg) {
    error(lg, "  **Error** " + msg);
    exitProcess(1);
}

void reportFailure(const std::string &msg, const py::object &lg) {
    error(lg, "  **Error** " + msg);
    raiseExitStatus(1);
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

void startLog(const std::string &folder) {
    try {
        importModule(modules::kCommonlib).attr("Common").attr("initLogLocation")(folder);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        refuseRun("cannot write the log in " + folder + ": " + errorText(e));
    }
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
        importModule("ipaddress").attr("IPv4Network")(value, "strict"_a = false);
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

std::string jsonText(py::handle obj, bool indent) {
    py::object dumps = importModule("json").attr("dumps");
    if (indent) return dumps(obj, "indent"_a = 2).cast<std::string>();
    return dumps(obj).cast<std::string>();
}

py::object readJsonFile(const std::string &path) {
    py::object f = importModule("builtins").attr("open")(path, "r");
    py::object result;
    try {
        result = importModule("json").attr("load")(f);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return result;
}

bool pathExists(const std::string &path) { return truthy(importModule("os.path").attr("lexists")(path)); }

void makeDirs(const std::string &path) {
    if (path.empty()) return;
    importModule("os").attr("makedirs")(path, "exist_ok"_a = true);
}

void writeTextAtomic(const std::string &path, const std::string &content, int mode) {
    py::object os = importModule("os");
    py::object ospath = importModule("os.path");
    std::string folder = ospath.attr("dirname")(ospath.attr("abspath")(path)).cast<std::string>();
    // mkstemp creates the file with mode 0600: a private key is never readable
    // by others, not even for a moment.
    py::tuple made =
        importModule("tempfile").attr("mkstemp")("dir"_a = folder, "prefix"_a = ".tmp-", "suffix"_a = ".part");
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
        fd = py::none();  // the file object owns it now
        try {
            f.attr("write")(content);
            f.attr("flush")();
            os.attr("fsync")(f.attr("fileno")());
        } catch (...) {
            try {
                f.attr("close")();
            } catch (py::error_already_set &) {}
            throw;
        }
        f.attr("close")();
        os.attr("replace")(tmp, path);
    } catch (...) {
        if (!fd.is_none()) {
            try {
                os.attr("close")(fd);
            } catch (py::error_already_set &) {}
        }
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
    std::string path = pyText(globalSettings().attr("TEST_CONFIG"));
    writeTextAtomic(path, body + "\n");
}

void requireSoundBackupFolder(const std::string &folder) {
    std::string problem = backupFolderProblem(folder);
    if (problem.empty()) return;
    error(logger(), problem);  // a fixed line of its own, not a "**Error**" line
    exitProcess(1);
}

void logCommand(const char *tool, const std::string &secret) {
    py::list argv = importModule("sys").attr("argv");
    std::string command = tool;
    for (size_t i = 1; i < py::len(argv); ++i) command += " " + pyText(argv[i]);
    importModule(modules::kCommonlib).attr("Common").attr("logCommandOptions")(command, secret);
}

void uploadToS3(py::object s3, py::object bucket, const std::string &path) {
    // What was not uploaded is missing in the bucket: the run must say so.
    if (!truthy(importModule(modules::kS3).attr("S3BackupCmd")(s3, ".", bucket, path).attr("uploadAFile")()))
        raiseExitStatus(1);
}

}  // namespace glue
