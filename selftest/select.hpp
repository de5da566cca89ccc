// SPDX-License-Identifier: Apache-2.0
#pragma once

#include "opencl/inventory.hpp"

// Chooses the device the self-test runs on: platforms in the loader's order;
// on each, the first usable GPU, or, only when the platform reports no GPU at
// all, its first usable device of any type. A platform whose GPUs are all
// unusable contributes nothing. Fills both records and returns true on success;
// leaves them untouched otherwise.
bool select_device(PlatformInfo& platform_out, DeviceInfo& device_out);
