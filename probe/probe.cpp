// SPDX-License-Identifier: Apache-2.0
#include "probe/probe.hpp"

#include <cstdint>
#include <iostream>

#include "opencl/inventory.hpp"

const char* type_word(cl_device_type type) {
    if ((type & CL_DEVICE_TYPE_GPU) != 0) {
        return "GPU";
    }
    if ((type & CL_DEVICE_TYPE_CPU) != 0) {
        return "CPU";
    }
    if ((type & CL_DEVICE_TYPE_ACCELERATOR) != 0) {
        return "ACCELERATOR";
    }
    return "OTHER";
}

namespace {

void write_device(std::uint64_t i, std::uint64_t j, const DeviceInfo& device) {
    const auto line = [i, j](const char* key) -> std::ostream& {
        return std::cout << "device[" << i << ':' << j << "]." << key << '=';
    };
    line("name") << device.name << '\n';
    line("type") << type_word(device.type) << '\n';
    line("vendor") << device.vendor << '\n';
    line("version") << device.version << '\n';
    line("opencl_c") << device.opencl_c << '\n';
    line("compiler") << (device.compiler == CL_TRUE ? "true" : "false") << '\n';
    line("compute_units") << static_cast<std::uint32_t>(device.compute_units) << '\n';
    line("max_work_group") << static_cast<std::uint64_t>(device.max_work_group) << '\n';
    line("global_mem") << static_cast<std::uint64_t>(device.global_mem) << '\n';
    line("max_alloc") << static_cast<std::uint64_t>(device.max_alloc) << '\n';
    line("local_mem") << static_cast<std::uint64_t>(device.local_mem) << '\n';
}

}  // namespace

int run_probe() {
    const std::vector<PlatformInfo> platforms = list_platforms();
    std::cout << "Corvane OpenCL probe\n";
    std::cout << "platform_count=" << static_cast<std::uint64_t>(platforms.size()) << '\n';
    if (platforms.empty()) {
        std::cerr << "no OpenCL platforms found\n";
        return 2;
    }

    bool any_usable = false;
    for (std::uint64_t i = 0; i < platforms.size(); ++i) {
        const PlatformInfo& platform = platforms[i];
        std::cout << "platform[" << i << "].name=" << platform.name << '\n';
        std::cout << "platform[" << i << "].vendor=" << platform.vendor << '\n';
        std::cout << "platform[" << i << "].version=" << platform.version << '\n';
        const std::vector<DeviceInfo> devices = list_devices(platform, CL_DEVICE_TYPE_ALL);
        std::cout << "platform[" << i << "].device_count=" << static_cast<std::uint64_t>(devices.size()) << '\n';
        for (std::uint64_t j = 0; j < devices.size(); ++j) {
            write_device(i, j, devices[j]);
            if (!any_usable) {
                any_usable = is_usable(devices[j]);
            }
        }
    }

    if (any_usable) {
        return 0;
    }
    std::cerr << "no usable OpenCL C 1.2 compiler device found\n";
    return 3;
}
