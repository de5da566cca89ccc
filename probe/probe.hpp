// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "opencl/cl.hpp"

// The report's word for a device's type bits: the first of GPU, CPU and
// ACCELERATOR that is set, otherwise OTHER.
const char* type_word(cl_device_type type);

// --probe: lists every platform and device on standard output; 0 when some
// device is usable, 2 without platforms, 3 with platforms but no usable device.
int run_probe();
