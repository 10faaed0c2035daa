#include "glue/glue.hpp"

namespace glue {

void runWorkers(const std::vector<std::pair<py::object, py::dict>> &calls) {
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
    for (auto &t : pool) t.attr("start")();
    // Thread.join waits with the GIL released, so the workers can run.
    for (auto &t : pool) t.attr("join")();
}

}  // namespace glue
