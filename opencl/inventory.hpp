// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "opencl/cl.hpp"

// One OpenCL platform as a value. The handle is an identifier only: it is
// never retained or released.
struct PlatformInfo {
    cl_platform_id id = nullptr;
    std::string name;
    std::string vendor;
    std::string version;
};

// One OpenCL device as a value. Every field keeps its empty or zero value when
// its query fails.
struct DeviceInfo {
    cl_device_id id = nullptr;
    cl_device_type type = 0;
    std::string name;
    std::string vendor;
    std::string version;
    std::string opencl_c;
    cl_uint compute_units = 0;
    size_t max_work_group = 0;
    cl_ulong global_mem = 0;
    cl_ulong max_alloc = 0;
    cl_ulong local_mem = 0;
    cl_bool compiler = 0;
};

// Every platform the loader reports, in its order; empty when none can be read.
std::vector<PlatformInfo> list_platforms();

// The platform's devices of the requested type, in the runtime's order; empty
// when the platform has none of that type or the listing fails.
std::vector<DeviceInfo> list_devices(const PlatformInfo& platform, cl_device_type device_type);

// A string attribute; empty when it cannot be read. One trailing NUL is removed.
std::string query_platform_string(cl_platform_id platform, cl_uint parameter);
std::string query_device_string(cl_device_id device, cl_uint parameter);

// True when the text holds "OpenCL C <major>.<minor>" with a version of 1.2 or later.
bool supports_opencl_c_1_2(const std::string& text);

// A device can serve the tool when it has an OpenCL C compiler of version 1.2 or later.
bool is_usable(const DeviceInfo& device);
