// SPDX-License-Identifier: Apache-2.0
/* The floor for `corvane --probe`: exactly the OpenCL calls the probe makes, in
 * its order, and one summary line instead of the report. No implementation of
 * the probe can make fewer calls, so this is what the tool cannot beat.
 *
 *   cc -O2 -DCL_TARGET_OPENCL_VERSION=120 floor_probe.c -lOpenCL
 */
#include <CL/cl.h>
#include <stdio.h>
#include <stdlib.h>

#include "floor_common.h"

static void read_device(cl_device_id device) {
    cl_device_type type = 0;
    cl_uint compute_units = 0;
    size_t max_work_group = 0;
    cl_ulong global_mem = 0;
    cl_ulong max_alloc = 0;
    cl_ulong local_mem = 0;
    cl_bool compiler = 0;
    clGetDeviceInfo(device, CL_DEVICE_TYPE, sizeof type, &type, NULL);
    read_device_string(device, CL_DEVICE_NAME, NULL);
    read_device_string(device, CL_DEVICE_VENDOR, NULL);
    read_device_string(device, CL_DEVICE_VERSION, NULL);
    read_device_string(device, CL_DEVICE_OPENCL_C_VERSION, NULL);
    clGetDeviceInfo(device, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof compute_units, &compute_units, NULL);
    clGetDeviceInfo(device, CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof max_work_group, &max_work_group, NULL);
    clGetDeviceInfo(device, CL_DEVICE_GLOBAL_MEM_SIZE, sizeof global_mem, &global_mem, NULL);
    clGetDeviceInfo(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE, sizeof max_alloc, &max_alloc, NULL);
    clGetDeviceInfo(device, CL_DEVICE_LOCAL_MEM_SIZE, sizeof local_mem, &local_mem, NULL);
    clGetDeviceInfo(device, CL_DEVICE_COMPILER_AVAILABLE, sizeof compiler, &compiler, NULL);
}

/* Reads every device of the platform; returns how many there are. */
static cl_uint read_devices(cl_platform_id platform) {
    cl_uint count = 0;
    if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, NULL, &count) != CL_SUCCESS || count == 0) {
        return 0;
    }
    cl_device_id* ids = calloc(count, sizeof *ids);
    if (ids == NULL) {
        return 0;
    }
    if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, count, ids, NULL) != CL_SUCCESS) {
        free(ids);
        return 0;
    }
    for (cl_uint j = 0; j < count; ++j) {
        read_device(ids[j]);
    }
    free(ids);
    return count;
}

int main(void) {
    cl_uint platforms = 0;
    cl_uint devices = 0;
    if (clGetPlatformIDs(0, NULL, &platforms) != CL_SUCCESS || platforms == 0) {
        puts("platforms=0 devices=0");
        return 2;
    }
    cl_platform_id* ids = calloc(platforms, sizeof *ids);
    if (ids == NULL || clGetPlatformIDs(platforms, ids, NULL) != CL_SUCCESS) {
        puts("platforms=0 devices=0");
        return 2;
    }
    for (cl_uint i = 0; i < platforms; ++i) {
        read_platform_string(ids[i], CL_PLATFORM_NAME);
        read_platform_string(ids[i], CL_PLATFORM_VENDOR);
        read_platform_string(ids[i], CL_PLATFORM_VERSION);
    }
    for (cl_uint i = 0; i < platforms; ++i) {
        devices += read_devices(ids[i]);
    }
    free(ids);
    printf("platforms=%u devices=%u\n", platforms, devices);
    return 0;
}
