// SPDX-License-Identifier: Apache-2.0
#pragma once

// The tool talks to OpenCL through the 1.2 API only; the build defines
// CL_TARGET_OPENCL_VERSION=120 so that the 1.2 entry points (clCreateCommandQueue
// among them) are declared without deprecation warnings.
#ifndef CL_TARGET_OPENCL_VERSION
#error "CL_TARGET_OPENCL_VERSION must be set by the build"
#endif

#include <CL/cl.h>
