// Process-wide store of run settings: class attributes assigned and read
// without creating an object.
#include "glue/glue.hpp"

namespace {
struct Globals {};
bool initialised = false;
}  // namespace

PYBIND11_MODULE(Globals, m) {
    glue::moduleStartup(initialised, glue::modules::kGlobals);
    m.doc() = "Run-wide settings.";
    auto cls = pybind11::class_<Globals>(m, "Globals", pybind11::dynamic_attr(), R"pbdoc(
        Run-wide settings, read and assigned as class attributes:
        ``dry_run`` (bool) and ``TEST_CONFIG`` (the test config's path).
    )pbdoc");
    cls.def(pybind11::init<>(), "An instance; the settings are read and assigned on the class.");
    cls.attr("dry_run") = false;
    cls.attr("TEST_CONFIG") = "";
}
