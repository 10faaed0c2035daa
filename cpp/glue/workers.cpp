#include "glue/glue.hpp"

namespace glue {

void runWorkers(const std::vector<std::pair<py::object, py::dict>> &calls) {
    py::object Thread = imp("threading").attr("Thread");
    std::vector<py::object> pool;
    pool.reserve(calls.size());
    for (const auto &call : calls)
        pool.push_back(Thread("target"_a = call.first, "kwargs"_a = call.second, "daemon"_a = false));
    for (auto &t : pool) t.attr("start")();
    // Thread.join waits with the GIL released, so the workers can run.
    for (auto &t : pool) t.attr("join")();
}

}  // namespace glue
