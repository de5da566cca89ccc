// SPDX-License-Identifier: Apache-2.0
/* The floor for `corvane --self-test`: exactly the OpenCL calls the self-test
 * makes, in its order (device choice with every candidate read in full, then
 * the add_one kernel's build, run, read-back, check and timing, then the
 * releases), and one line instead of the report.
 *
 *   cc -O2 -DCL_TARGET_OPENCL_VERSION=120 floor_selftest.c -lOpenCL
 */
#include <CL/cl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "floor_common.h"

enum { kCount = 256, kBytes = kCount * sizeof(cl_uint) };

static const char kSource[] =
    "__kernel void add_one(__global const uint* in, __global uint* out) {\n"
    "  const size_t i = get_global_id(0);\n"
    "  out[i] = in[i] + 1u;\n"
    "}\n";

struct Candidate {
    int usable;
    size_t max_work_group;
};

static struct Candidate read_device(cl_device_id device) {
    cl_device_type type = 0;
    cl_uint compute_units = 0;
    cl_ulong global_mem = 0;
    cl_ulong max_alloc = 0;
    cl_ulong local_mem = 0;
    cl_bool compiler = 0;
    int version_ok = 0;
    struct Candidate candidate = {0, 0};
    clGetDeviceInfo(device, CL_DEVICE_TYPE, sizeof type, &type, NULL);
    read_device_string(device, CL_DEVICE_NAME, NULL);
    read_device_string(device, CL_DEVICE_VENDOR, NULL);
    read_device_string(device, CL_DEVICE_VERSION, NULL);
    read_device_string(device, CL_DEVICE_OPENCL_C_VERSION, &version_ok);
    clGetDeviceInfo(device, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof compute_units, &compute_units, NULL);
    if (clGetDeviceInfo(device, CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof candidate.max_work_group,
                        &candidate.max_work_group, NULL) != CL_SUCCESS) {
        candidate.max_work_group = 0;
    }
    clGetDeviceInfo(device, CL_DEVICE_GLOBAL_MEM_SIZE, sizeof global_mem, &global_mem, NULL);
    clGetDeviceInfo(device, CL_DEVICE_MAX_MEM_ALLOC_SIZE, sizeof max_alloc, &max_alloc, NULL);
    clGetDeviceInfo(device, CL_DEVICE_LOCAL_MEM_SIZE, sizeof local_mem, &local_mem, NULL);
    if (clGetDeviceInfo(device, CL_DEVICE_COMPILER_AVAILABLE, sizeof compiler, &compiler, NULL) != CL_SUCCESS) {
        compiler = 0;
    }
    candidate.usable = compiler == CL_TRUE && version_ok;
    return candidate;
}

/* Lists the platform's devices of `type`, reads every one, and picks the first
 * usable one; returns the number listed (0 when the listing fails). */
static cl_uint choose_among(cl_platform_id platform, cl_device_type type, cl_device_id* chosen, size_t* max_wg) {
    cl_uint count = 0;
    if (clGetDeviceIDs(platform, type, 0, NULL, &count) != CL_SUCCESS || count == 0) {
        return 0;
    }
    cl_device_id* ids = calloc(count, sizeof *ids);
    if (ids == NULL) {
        return 0;
    }
    if (clGetDeviceIDs(platform, type, count, ids, NULL) != CL_SUCCESS) {
        free(ids);
        return 0;
    }
    for (cl_uint j = 0; j < count; ++j) {
        const struct Candidate candidate = read_device(ids[j]);
        if (candidate.usable && *chosen == NULL) {
            *chosen = ids[j];
            *max_wg = candidate.max_work_group;
        }
    }
    free(ids);
    return count;
}

static cl_device_id choose_device(size_t* max_wg) {
    cl_uint platforms = 0;
    cl_device_id chosen = NULL;
    if (clGetPlatformIDs(0, NULL, &platforms) != CL_SUCCESS || platforms == 0) {
        return NULL;
    }
    cl_platform_id* ids = calloc(platforms, sizeof *ids);
    if (ids == NULL || clGetPlatformIDs(platforms, ids, NULL) != CL_SUCCESS) {
        free(ids);
        return NULL;
    }
    for (cl_uint i = 0; i < platforms; ++i) {
        read_platform_string(ids[i], CL_PLATFORM_NAME);
        read_platform_string(ids[i], CL_PLATFORM_VENDOR);
        read_platform_string(ids[i], CL_PLATFORM_VERSION);
    }
    for (cl_uint i = 0; i < platforms && chosen == NULL; ++i) {
        if (choose_among(ids[i], CL_DEVICE_TYPE_GPU, &chosen, max_wg) == 0) {
            choose_among(ids[i], CL_DEVICE_TYPE_ALL, &chosen, max_wg);
        }
    }
    free(ids);
    return chosen;
}

static int failed(const char* what, cl_int status) {
    fprintf(stderr, "%s failed: %d\n", what, status);
    return 3;
}

int main(void) {
    size_t max_wg = 0;
    cl_device_id device = choose_device(&max_wg);
    if (device == NULL) {
        fputs("no usable OpenCL C 1.2 compiler device found\n", stderr);
        return 2;
    }
    cl_int status = CL_SUCCESS;
    cl_context context = clCreateContext(NULL, 1, &device, NULL, NULL, &status);
    if (status != CL_SUCCESS) return failed("clCreateContext", status);
    cl_command_queue queue = clCreateCommandQueue(context, device, CL_QUEUE_PROFILING_ENABLE, &status);
    if (status != CL_SUCCESS) return failed("clCreateCommandQueue", status);
    cl_uint in[kCount] = {0};
    cl_uint out[kCount] = {0};
    for (cl_uint i = 0; i < kCount; ++i) {
        in[i] = 3 * i + 7;
    }
    cl_mem input = clCreateBuffer(context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, kBytes, in, &status);
    if (status != CL_SUCCESS) return failed("clCreateBuffer(input)", status);
    cl_mem output = clCreateBuffer(context, CL_MEM_WRITE_ONLY, kBytes, NULL, &status);
    if (status != CL_SUCCESS) return failed("clCreateBuffer(output)", status);
    const char* source = kSource;
    const size_t length = sizeof kSource - 1;
    cl_program program = clCreateProgramWithSource(context, 1, &source, &length, &status);
    if (status != CL_SUCCESS) return failed("clCreateProgramWithSource", status);
    status = clBuildProgram(program, 1, &device, "-cl-std=CL1.2", NULL, NULL);
    if (status != CL_SUCCESS) return 4;
    cl_kernel kernel = clCreateKernel(program, "add_one", &status);
    if (status != CL_SUCCESS) return failed("clCreateKernel", status);
    status = clSetKernelArg(kernel, 0, sizeof input, &input);
    if (status != CL_SUCCESS) return failed("clSetKernelArg(input)", status);
    status = clSetKernelArg(kernel, 1, sizeof output, &output);
    if (status != CL_SUCCESS) return failed("clSetKernelArg(output)", status);
    const size_t global = kCount;
    const size_t local = 64;
    cl_event event = NULL;
    status = clEnqueueNDRangeKernel(queue, kernel, 1, NULL, &global, max_wg >= 64 ? &local : NULL, 0, NULL, &event);
    if (status != CL_SUCCESS) return failed("clEnqueueNDRangeKernel", status);
    status = clWaitForEvents(1, &event);
    if (status != CL_SUCCESS) return failed("clWaitForEvents", status);
    status = clEnqueueReadBuffer(queue, output, CL_TRUE, 0, kBytes, out, 0, NULL, NULL);
    if (status != CL_SUCCESS) return failed("clEnqueueReadBuffer", status);
    for (cl_uint i = 0; i < kCount; ++i) {
        if (out[i] != in[i] + 1) {
            return 5;
        }
    }
    cl_ulong start = 0;
    cl_ulong end = 0;
    clGetEventProfilingInfo(event, CL_PROFILING_COMMAND_START, sizeof start, &start, NULL);
    clGetEventProfilingInfo(event, CL_PROFILING_COMMAND_END, sizeof end, &end, NULL);
    clReleaseEvent(event);
    clReleaseKernel(kernel);
    clReleaseProgram(program);
    clReleaseMemObject(output);
    clReleaseMemObject(input);
    clReleaseCommandQueue(queue);
    clReleaseContext(context);
    puts("self_test=PASS");
    return 0;
}
