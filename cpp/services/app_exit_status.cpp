// The process exit status that both tools end with. It starts at 0; operations
// that must not report success raise it.
#include "glue/glue.hpp"

#include <atomic>

using namespace pybind11::literals;

namespace {
struct AppExitStatus {};
std::atomic<int> status{0};
bool initialised = false;
}  // namespace

PYBIND11_MODULE(AppExitStatus, m) {
    glue::moduleStartup(initialised, glue::modules::kAppExitStatus);
    m.doc() = "The process exit status both tools end with.";
    pybind11::class_<AppExitStatus>(m, "AppExitStatus", "The process-wide exit status: starts at 0 and only rises.")
        .def(pybind11::init<>(), "A handle on the process-wide status (all handles share it).")
        .def(
            "getStatus", [](const AppExitStatus &) { return status.load(); }, "The exit status so far.")
        .def_static(
            "raiseStatus",
            [](int value) {
                int cur = status.load();
                while (value > cur && !status.compare_exchange_weak(cur, value)) {}
            },
            "value"_a, "Raises the exit status to ``value`` when that is higher.")
        .def_static("reset", []() { status.store(0); }, "Sets the exit status back to 0 (a new run in one process).");
}
