#include "cellscan/cellscan.hpp"

using namespace glue;

namespace {
bool initialised = false;
}

PYBIND11_MODULE(cellscan, m) {
    moduleStartup(initialised, modules::kCellscan);
    m.doc() = R"pbdoc(
        The ``cellscan`` command: discovers a test subnet for every NAT or
        spoke gateway of a VPC and writes the test config.
    )pbdoc";
    // Both discovery libraries load with the tool.
    importModule(modules::kNat);
    importModule(modules::kSpoke);
    // The controller serves a self-signed certificate: its warnings are silenced
    // for the whole process.
    importModule("urllib3").attr("disable_warnings")();
    py::object cachetools = importModule("cachetools");
    py::object cache = cachetools.attr("TTLCache")("maxsize"_a = 1, "ttl"_a = 1200);
    py::cpp_function raw(&cellscan::startAwsSessionUncached, py::name("start_aws_session"), "assume_role"_a,
                         "profile"_a = py::none(), R"pbdoc(
        Opens the discovery session: assumes ``assume_role`` with the
        credentials of ``profile`` and returns ``(session, credentials)``, or
        the text "The AWS new session attempt has failed" (logged). Answers are
        cached for 20 minutes.
    )pbdoc");
    m.attr("start_aws_session") = cachetools.attr("cached")(cache)(raw);
    m.def("main", &cellscan::main, R"pbdoc(
        The ``cellscan`` command: parses ``sys.argv``, runs the ``natgw`` or
        ``spoke`` discovery and ends the process with the run's exit status.
    )pbdoc");
}
