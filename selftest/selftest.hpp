// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "opencl/cl.hpp"

// The add_one kernel, exactly as it is compiled; its length is passed
// explicitly, without the terminating NUL.
inline constexpr char kernel_source[] =
    "__kernel void add_one(__global const uint* in, __global uint* out) {\n"
    "  const size_t i = get_global_id(0);\n"
    "  out[i] = in[i] + 1u;\n"
    "}\n";
inline constexpr size_t kernel_source_length = sizeof kernel_source - 1;
static_assert(kernel_source_length == 131, "the kernel source is 131 bytes");

// The build log of `program` for `device`; empty when there is none or it
// cannot be read.
std::string query_build_log(cl_program program, cl_device_id device);

// --self-test: builds and runs add_one over 256 values on the chosen device and
// checks every result. 0 passed, 2 no usable device, 3 an OpenCL call failed,
// 4 the kernel did not build, 5 a result was wrong.
int run_self_test();
