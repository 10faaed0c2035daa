// Log set-up and the record of a run's command line.
#include "glue/glue.hpp"

#include <regex>

using namespace glue;

namespace {
struct Common {};
bool initialised = false;
const char *kMarker = "_brimvale_handler";

// Adds `handler` to `lg` after removing every handler an earlier call added.
void replaceHandlers(py::object lg, std::vector<py::object> handlers) {
    py::list current = lg.attr("handlers").attr("copy")();  // removal mutates the live list
    for (auto h : current) {
        if (py::hasattr(h, kMarker)) {
            lg.attr("removeHandler")(h);
            h.attr("close")();
        }
    }
    for (auto &h : handlers) {
        py::setattr(h, kMarker, py::bool_(true));
        lg.attr("addHandler")(h);
    }
}

// The tools refuse unsound backup folders (see backupFolderProblem) right
// after this call: for those no folder or file is made, the console alone
// shows the run. The log file is opened without following a symbolic link
// planted at its path (OSError ELOOP).
void initLogLocation(const std::string &folder) {
    py::object logging = importModule("logging");
    py::object os = importModule("os");
    py::object console = logging.attr("StreamHandler")();
    console.attr("setFormatter")(logging.attr("Formatter")("%(message)s"));
    py::object lg = logger("brimvale_testlibs");
    lg.attr("setLevel")(logging.attr("INFO"));
    replaceHandlers(lg, {console});
    if (!backupFolderProblem(folder).empty()) return;
    std::string logDir = folder + "/log";
    makeDirs(logDir);
    std::string path = logDir + "/brimvale_testlibs.log";
    int flags =
        (os.attr("O_WRONLY") | os.attr("O_APPEND") | os.attr("O_CREAT") | os.attr("O_NOFOLLOW") | os.attr("O_CLOEXEC"))
            .cast<int>();
    py::object fd = os.attr("open")(path, flags, 0644);
    py::object file = logging.attr("FileHandler")(path, "encoding"_a = "utf-8", "delay"_a = true);
    file.attr("stream") = os.attr("fdopen")(fd, "a", "encoding"_a = "utf-8");
    file.attr("setFormatter")(logging.attr("Formatter")("%(asctime)s %(levelname)s %(message)s"));
    // A log that cannot be written (a full disk) is one line on the console
    // and status 1, once; the run goes on.
    py::dict reported;
    file.attr("handleError") = py::cpp_function([path, reported](py::object) mutable {
        if (reported.contains("done")) return;
        reported["done"] = true;
        py::object exc = importModule("sys").attr("exc_info")()[py::int_(1)];
        importModule("sys").attr("stderr").attr("write")("  **Error** cannot write the log " + path + ": " +
                                                         pyText(exc) + "; the run goes on without it\n");
        raiseExitStatus(1);
    });
    replaceHandlers(lg, {console, file});
}

}  // namespace

// The command text with the controller password masked: the log is uploaded
// to S3 and must never carry it. The option is matched in every form argparse
// accepts (abbreviated, "=" or separate word); `secret`, the parsed password,
// is masked wherever it occurs, so a password with blanks never shows either.
std::string maskSecrets(std::string command, const std::string &secret) {
    if (!secret.empty())
        for (size_t at; (at = command.find(secret)) != std::string::npos;) command.replace(at, secret.size(), "****");
    static const std::regex joined(R"((--controller_p[a-z_]*=)(\S*))");
    static const std::regex separate(R"((--controller_p[a-z_]*\s+)(\S+))");
    std::string out = std::regex_replace(command, joined, "$1****");
    return std::regex_replace(out, separate, "$1****");
}

PYBIND11_MODULE(commonlib, m) {
    moduleStartup(initialised, modules::kCommonlib);
    m.doc() = "Log set-up and the record of a run's command line.";
    py::class_<Common>(m, "Common", "The tools' log helpers (static methods).")
        .def_static("initLogLocation", &initLogLocation, "folder"_a, R"pbdoc(
        Sets up the package's log: the console, and ``<folder>/log.txt`` when
        ``folder`` is a sound backup folder (opened without following a
        symbolic link). Returns None.
    )pbdoc")
        .def_static(
            "logCommandOptions",
            [](const std::string &command, const std::string &secret) { info(logger(), maskSecrets(command, secret)); },
            "command"_a, "secret"_a = "", R"pbdoc(
        Logs the command line ``command`` with the controller password masked:
        the value of any abbreviation of ``--controller_pass`` and every
        occurrence of ``secret``.
    )pbdoc");
}
