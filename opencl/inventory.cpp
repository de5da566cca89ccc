// SPDX-License-Identifier: Apache-2.0
#include "opencl/inventory.hpp"

#include <cstdint>
#include <cstdlib>

#include "opencl/info_string.hpp"

namespace {

template <typename T>
void query_device_scalar(cl_device_id device, cl_device_info parameter, T& field) {
    field = 0;
    if (clGetDeviceInfo(device, parameter, sizeof field, &field, nullptr) != CL_SUCCESS) {
        field = 0;
    }
}

// The two-call enumeration: ask for the count, then for that many handles.
// Either call failing, or a count of 0, gives no handles.
template <typename Handle, typename Query>
std::vector<Handle> read_handles(Query query) {
    cl_uint count = 0;
    if (query(0, nullptr, &count) != CL_SUCCESS || count == 0) {
        return {};
    }
    std::vector<Handle> handles(count, nullptr);
    if (query(count, handles.data(), nullptr) != CL_SUCCESS) {
        return {};
    }
    return handles;
}

// strtol in base 10, clamped to the signed 32-bit range where long is wider.
std::int32_t read_int32(const char* start, const char** end) {
    char* stop = nullptr;
    const long value = std::strtol(start, &stop, 10);
    *end = stop;
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace

std::string query_platform_string(cl_platform_id platform, cl_uint parameter) {
    return read_info_string(
        [platform, parameter](size_t size, void* value, size_t* size_ret) {
            return clGetPlatformInfo(platform, parameter, size, value, size_ret);
        },
        true);
}

std::string query_device_string(cl_device_id device, cl_uint parameter) {
    return read_info_string(
        [device, parameter](size_t size, void* value, size_t* size_ret) {
            return clGetDeviceInfo(device, parameter, size, value, size_ret);
        },
        true);
}

std::vector<PlatformInfo> list_platforms() {
    const std::vector<cl_platform_id> ids =
        read_handles<cl_platform_id>([](cl_uint count, cl_platform_id* handles, cl_uint* count_ret) {
            return clGetPlatformIDs(count, handles, count_ret);
        });
    std::vector<PlatformInfo> platforms;
    platforms.reserve(ids.size());
    for (cl_platform_id id : ids) {
        PlatformInfo platform;
        platform.id = id;
        platform.name = query_platform_string(id, CL_PLATFORM_NAME);
        platform.vendor = query_platform_string(id, CL_PLATFORM_VENDOR);
        platform.version = query_platform_string(id, CL_PLATFORM_VERSION);
        platforms.push_back(std::move(platform));
    }
    return platforms;
}

std::vector<DeviceInfo> list_devices(const PlatformInfo& platform, cl_device_type device_type) {
    // A platform without devices of the type answers CL_DEVICE_NOT_FOUND.
    const std::vector<cl_device_id> ids =
        read_handles<cl_device_id>([&platform, device_type](cl_uint count, cl_device_id* handles, cl_uint* count_ret) {
            return clGetDeviceIDs(platform.id, device_type, count, handles, count_ret);
        });
    std::vector<DeviceInfo> devices;
    devices.reserve(ids.size());
    for (cl_device_id id : ids) {
        DeviceInfo device;
        device.id = id;
        query_device_scalar(id, CL_DEVICE_TYPE, device.type);
        device.name = query_device_string(id, CL_DEVICE_NAME);
        device.vendor = query_device_string(id, CL_DEVICE_VENDOR);
        device.version = query_device_string(id, CL_DEVICE_VERSION);
        device.opencl_c = query_device_string(id, CL_DEVICE_OPENCL_C_VERSION);
        query_device_scalar(id, CL_DEVICE_MAX_COMPUTE_UNITS, device.compute_units);
        query_device_scalar(id, CL_DEVICE_MAX_WORK_GROUP_SIZE, device.max_work_group);
        query_device_scalar(id, CL_DEVICE_GLOBAL_MEM_SIZE, device.global_mem);
        query_device_scalar(id, CL_DEVICE_MAX_MEM_ALLOC_SIZE, device.max_alloc);
        query_device_scalar(id, CL_DEVICE_LOCAL_MEM_SIZE, device.local_mem);
        query_device_scalar(id, CL_DEVICE_COMPILER_AVAILABLE, device.compiler);
        devices.push_back(std::move(device));
    }
    return devices;
}

bool supports_opencl_c_1_2(const std::string& text) {
    static const std::string marker = "OpenCL C ";
    if (text.size() < marker.size()) {
        return false;
    }
    const size_t at = text.find(marker);
    if (at == std::string::npos) {
        return false;
    }
    // The text may hold embedded NULs; strtol stops at the first one, which is
    // never a digit, so reading through c_str() is safe.
    const char* start = text.c_str() + at + marker.size();
    const char* end = nullptr;
    const std::int32_t major = read_int32(start, &end);
    if (end == start || *end != '.') {
        return false;
    }
    const char* minor_start = end + 1;
    const std::int32_t minor = read_int32(minor_start, &end);  // no digits gives 0
    return major > 1 || (major == 1 && minor >= 2);
}

bool is_usable(const DeviceInfo& device) {
    return device.compiler == CL_TRUE && supports_opencl_c_1_2(device.opencl_c);
}
