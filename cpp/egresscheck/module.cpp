// Bindings of the egress test command.
#include "egresscheck/egresscheck.hpp"

using namespace glue;

namespace {
bool initialised = false;
}

PYBIND11_MODULE(egresscheck, m) {
    moduleStartup(initialised, "brimvale_testlibs.bin.egresscheck");
    m.doc() = R"pbdoc(
        The ``egresscheck`` command: for every target of an inventory (or one
        VPC), discovery, deployment, the wait for the verdicts, reports (console,
        JUnit, JSON) and the revert, each stage the real tool in its own
        process; a journal lets ``resume`` finish a run that was killed, and
        ``sweep`` finds what expired runs left.
    )pbdoc";
    // Seconds between polls of the results bucket: the first pause, its growth
    // per poll and its largest value. An importing caller may change them.
    m.attr("POLL_FIRST") = 10.0;
    m.attr("POLL_STEP") = 5.0;
    m.attr("POLL_MAX") = 30.0;
    // Seconds a record with its result waits for its log object.
    m.attr("LOG_GRACE") = 30.0;
    m.def("serve_tools", &egresscheck::serveTools, "fd"_a, R"pbdoc(
        The tool server's loop, in a process of its own that the runner starts
        with its end of a Unix packet socket pair ``fd``: forks each stage's tool
        until the runner ends. Not a command of its own.
    )pbdoc");
    m.def("main", &egresscheck::main, R"pbdoc(
        The ``egresscheck`` command: parses ``sys.argv`` and ends the process
        with the run's exit status (0 every verdict PASS and clean-up complete,
        1 a verdict that is not PASS, 2 bad usage or inventory, 3 clean-up
        incomplete, 130/143 interrupted).
    )pbdoc");
}
