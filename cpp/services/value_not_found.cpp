// Exception raised while a value that an operation waits for is not yet visible.
#include "glue/glue.hpp"

namespace {
bool initialised = false;
}

PYBIND11_MODULE(ValueNotFoundException, m) {
    glue::moduleStartup(initialised, glue::modules::kValueNotFound);
    namespace py = pybind11;
    m.doc() = "The error of a value that is waited for and not visible yet.";
    py::dict ns;
    ns["__module__"] = glue::modules::kValueNotFound;
    ns["__doc__"] = "A value that is waited for is not visible yet.";
    m.attr("ValueNotFoundException") =
        glue::importModule("builtins")
            .attr("type")("ValueNotFoundException", py::make_tuple(glue::importModule("builtins").attr("Exception")),
                          ns);
}
