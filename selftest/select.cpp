// SPDX-License-Identifier: Apache-2.0
#include "selftest/select.hpp"

#include <vector>

bool select_device(PlatformInfo& platform_out, DeviceInfo& device_out) {
    for (const PlatformInfo& platform : list_platforms()) {
        std::vector<DeviceInfo> candidates = list_devices(platform, CL_DEVICE_TYPE_GPU);
        if (candidates.empty()) {
            candidates = list_devices(platform, CL_DEVICE_TYPE_ALL);
        }
        for (const DeviceInfo& device : candidates) {
            if (is_usable(device)) {
                platform_out = platform;
                device_out = device;
                return true;
            }
        }
    }
    return false;
}
