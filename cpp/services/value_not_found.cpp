// Exception raised while a value that an operation waits for is not yet visible.
#include "glue/glue.hpp"

namespace {
bool initialised = false;
}

PYBIND11_MODULE(ValueNotFoundException, m) {
    glue::moduleStartup(initialised, "brimvale_testlibs.bin.core.ValueNotFoundException");
    namespace py = pybind11;
    m.doc() = "The error of a value that is waited for and not visible yet.";
    py::dict ns;
    ns["__module__"] = "brimvale_testlibs.bin.core.ValueNotFoundException";
    ns["__doc__"] = "A value that is waited for is not visible yet.";
    m.attr("ValueNotFoundException") =
        glue::imp("builtins")
            .attr("type")("ValueNotFoundException", py::make_tuple(glue::imp("builtins").attr("Exception")), ns);
}
