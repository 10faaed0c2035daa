// Shared toolkit of every extension module of the package, in three parts:
// Python values (values.hpp), AWS request shapes, errors and clients
// (aws.hpp), and the package's own run-wide calls (run.hpp).
#pragma once

#include "glue/aws.hpp"
#include "glue/run.hpp"
#include "glue/values.hpp"
