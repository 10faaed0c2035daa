#pragma once

#include "glue/glue.hpp"

namespace cellscan {
namespace py = pybind11;

py::object startAwsSessionUncached(py::object assumeRole, py::object profile);
void main();
}  // namespace cellscan
