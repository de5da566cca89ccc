// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "opencl/cl.hpp"

// The symbolic name of a status the tool knows, otherwise "OpenCL error <n>".
std::string cl_status_name(cl_int status);

// True when `status` is CL_SUCCESS. Otherwise writes the one failure line
// "<label> failed: <name> (<n>)" to standard error and returns false.
bool check_cl(cl_int status, const char* label);
