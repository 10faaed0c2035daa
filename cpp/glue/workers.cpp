#include "glue/glue.hpp"

namespace glue {

size_t runWorkers(const std::vector<std::pair<py::object, py::dict>> &calls) {
    py::object Thread = importModule("threading").attr("Thread");
    std::vector<py::object> pool;
    pool.reserve(calls.size());
    for (const auto &call : calls) {
        py::object target = call.first;
        // An exit requested inside a worker ends that worker quietly.
        py::cpp_function body([target](py::kwargs kw) {
            try {
                target(**kw);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_SystemExit)) throw;
            }
        });
        pool.push_back(Thread("target"_a = body, "kwargs"_a = call.second, "daemon"_a = false));
    }
    size_t started = 0;
    try {
        for (auto &t : pool) {
            t.attr("start")();
            ++started;
        }
    } catch (py::error_already_set &e) {
        // No thread to be had (a process or memory limit): no more workers
        // start, those that did finish, and the run says what was left out.
        if (!e.matches(PyExc_RuntimeError) && !e.matches(PyExc_MemoryError)) throw;
        reportFailure("cannot start worker " + std::to_string(started + 1) + " of " + std::to_string(pool.size()) +
                      " (" + errorText(e) + "): " + std::to_string(pool.size() - started) +
                      " record(s) not handled; the " + std::to_string(started) + " started finish");
    }
    // Thread.join waits with the GIL released, so the workers can run.
    for (size_t i = 0; i < started; ++i) pool[i].attr("join")();
    return started;
}

}  // namespace glue
