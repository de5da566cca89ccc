// SPDX-License-Identifier: Apache-2.0
/* What both floors share: the two-call string queries, with a static scratch
 * area so that a floor allocates nothing for ordinary attribute sizes. */
#ifndef CORVANE_FLOOR_COMMON_H
#define CORVANE_FLOOR_COMMON_H

#include <CL/cl.h>
#include <stdlib.h>
#include <string.h>

static char scratch[1 << 16];

/* Room for `size` bytes: the static scratch area when it fits. */
static char* storage_for(size_t size) {
    return size <= sizeof scratch ? scratch : malloc(size);
}

static void done_with(char* storage) {
    if (storage != scratch) {
        free(storage);
    }
}

static void read_platform_string(cl_platform_id platform, cl_platform_info parameter) {
    size_t size = 0;
    if (clGetPlatformInfo(platform, parameter, 0, NULL, &size) != CL_SUCCESS || size == 0) {
        return;
    }
    char* storage = storage_for(size);
    if (storage != NULL) {
        clGetPlatformInfo(platform, parameter, size, storage, NULL);
        done_with(storage);
    }
}

/* Reads the string; when `version_ok` is given, sets it to whether the text
 * holds "OpenCL C <major>.<minor>" of 1.2 or later. */
static void read_device_string(cl_device_id device, cl_device_info parameter, int* version_ok) {
    size_t size = 0;
    if (clGetDeviceInfo(device, parameter, 0, NULL, &size) != CL_SUCCESS || size == 0) {
        return;
    }
    char* storage = storage_for(size + 1);
    if (storage == NULL) {
        return;
    }
    storage[size] = '\0';
    if (clGetDeviceInfo(device, parameter, size, storage, NULL) == CL_SUCCESS && version_ok != NULL) {
        const char* marker = strstr(storage, "OpenCL C ");
        if (marker != NULL) {
            char* end = NULL;
            const long major = strtol(marker + 9, &end, 10);
            if (end != marker + 9 && *end == '.') {
                const long minor = strtol(end + 1, NULL, 10);
                *version_ok = major > 1 || (major == 1 && minor >= 2);
            }
        }
    }
    done_with(storage);
}

#endif
