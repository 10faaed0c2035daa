// Process-wide store of run settings: class attributes assigned and read
// without creating an object.
#include "glue/glue.hpp"

namespace {
struct Globals {};
bool initialised = false;
}  // namespace

PYBIND11_MODULE(Globals, m) {
    glue::moduleStartup(initialised, "brimvale_testlibs.bin.core.Globals");
    auto cls = pybind11::class_<Globals>(m, "Globals", pybind11::dynamic_attr());
    cls.def(pybind11::init<>());
    cls.attr("dry_run") = false;
    cls.attr("TEST_CONFIG") = "";
}
