// Stopping on SIGINT/SIGTERM: no new step starts, requests in flight finish,
// and the run writes down what exists.
#include <atomic>

#include "rollprobe/rollprobe.hpp"

using namespace glue;

namespace rollprobe {

namespace {
std::atomic<int> requested{0};

const char *signalName(int signum) { return signum == 2 ? "SIGINT" : signum == 15 ? "SIGTERM" : "a signal"; }
}  // namespace

bool stopRequested() { return requested.load() != 0; }

int stopSignal() { return requested.load(); }

StopOnSignals::StopOnSignals() {
    requested.store(0);
    object signal = importModule("signal");
    py::cpp_function handler([](int signum, object) {
        bool first = requested.exchange(signum) == 0;
        if (first)
            error(logger(), std::string("  **Error** ") + signalName(signum) +
                                ": stopping; no new step starts, requests in flight finish");
        else
            info(logger(), "  still stopping: waiting for requests in flight");
    });
    for (const char *name : {"SIGINT", "SIGTERM"}) {
        object num = signal.attr(name);
        saved_.append(py::make_tuple(num, signal.attr("signal")(num, handler)));
    }
}

StopOnSignals::~StopOnSignals() {
    try {
        object signal = importModule("signal");
        for (auto entry : saved_) signal.attr("signal")(entry[py::int_(0)], entry[py::int_(1)]);
    } catch (py::error_already_set &) {}
}

}  // namespace rollprobe
