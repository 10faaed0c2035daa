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

// The tools refuse backup folders that are empty, absolute or start with "."
// right after this call: for those no folder or file is made, the console
// alone shows the run.
void initLogLocation(const std::string &folder) {
    py::object logging = imp("logging");
    py::object console = logging.attr("StreamHandler")();
    console.attr("setFormatter")(logging.attr("Formatter")("%(message)s"));
    std::vector<py::object> handlers{console};
    if (!folder.empty() && folder[0] != '/' && folder[0] != '.') {
        std::string logDir = folder + "/log";
        makeDirs(logDir);
        py::object file = logging.attr("FileHandler")(logDir + "/brimvale_testlibs.log", "encoding"_a = "utf-8");
        file.attr("setFormatter")(logging.attr("Formatter")("%(asctime)s %(levelname)s %(message)s"));
        handlers.push_back(file);
    }
    py::object lg = logger("brimvale_testlibs");
    lg.attr("setLevel")(logging.attr("INFO"));
    replaceHandlers(lg, handlers);
}

}  // namespace

// The command text with the controller password masked: the log is uploaded
// to S3 and must never carry it.
std::string maskSecrets(const std::string &command) {
    static const std::regex joined(R"((--controller_password=)(\S*))");
    static const std::regex separate(R"((--controller_password\s+)(\S+))");
    std::string out = std::regex_replace(command, joined, "$1****");
    return std::regex_replace(out, separate, "$1****");
}

PYBIND11_MODULE(commonlib, m) {
    moduleStartup(initialised, "brimvale_testlibs.bin.lib.commonlib");
    py::class_<Common>(m, "Common")
        .def_static("initLogLocation", &initLogLocation, "folder"_a)
        .def_static("logCommandOptions",
                    [](const std::string &command) { info(logger(), maskSecrets(command)); },
                    "command"_a);
}
