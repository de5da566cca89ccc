// SPDX-License-Identifier: Apache-2.0
#include "selftest/selftest.hpp"

#include <array>
#include <cstdint>
#include <iostream>
#include <memory>
#include <type_traits>

#include "opencl/info_string.hpp"
#include "opencl/status.hpp"
#include "selftest/select.hpp"

namespace {

constexpr size_t element_count = 256;
constexpr size_t buffer_bytes = element_count * sizeof(cl_uint);
constexpr size_t group_size = 64;

// Owns one OpenCL object and releases it when it goes. Holders declared in the
// order of creation release in the reverse order, on every way out of the run.
template <auto Release>
struct Releaser {
    template <typename Object>
    void operator()(Object* object) const {
        Release(object);
    }
};

template <typename Handle, auto Release>
using Holder = std::unique_ptr<std::remove_pointer_t<Handle>, Releaser<Release>>;

using ContextHolder = Holder<cl_context, &clReleaseContext>;
using QueueHolder = Holder<cl_command_queue, &clReleaseCommandQueue>;
using BufferHolder = Holder<cl_mem, &clReleaseMemObject>;
using ProgramHolder = Holder<cl_program, &clReleaseProgram>;
using KernelHolder = Holder<cl_kernel, &clReleaseKernel>;
using EventHolder = Holder<cl_event, &clReleaseEvent>;

constexpr int exit_no_device = 2;
constexpr int exit_call_failed = 3;
constexpr int exit_build_failed = 4;
constexpr int exit_mismatch = 5;

// Nanoseconds between the launch's start and end, as microseconds; 0 when
// either counter cannot be read (an absolute timestamp is no kernel time) or
// the end does not come after the start.
double kernel_microseconds(cl_event event) {
    cl_ulong start = 0;
    cl_ulong end = 0;
    const cl_int start_status =
        clGetEventProfilingInfo(event, CL_PROFILING_COMMAND_START, sizeof start, &start, nullptr);
    const cl_int end_status = clGetEventProfilingInfo(event, CL_PROFILING_COMMAND_END, sizeof end, &end, nullptr);
    if (start_status != CL_SUCCESS || end_status != CL_SUCCESS || end <= start) {
        return 0.0;
    }
    return static_cast<double>(end - start) / 1000.0;
}

}  // namespace

std::string query_build_log(cl_program program, cl_device_id device) {
    // Only a size of 0 means "no log"; the size call's status is not trusted
    // either way, as some runtimes report the log with a failing status.
    return read_info_string(
        [program, device](size_t size, void* value, size_t* size_ret) {
            return clGetProgramBuildInfo(program, device, CL_PROGRAM_BUILD_LOG, size, value, size_ret);
        },
        false);
}

int run_self_test() {
    PlatformInfo platform;
    DeviceInfo device;
    if (!select_device(platform, device)) {
        std::cerr << "no usable OpenCL C 1.2 compiler device found\n";
        return exit_no_device;
    }

    cl_int status = CL_SUCCESS;
    const ContextHolder context(clCreateContext(nullptr, 1, &device.id, nullptr, nullptr, &status));
    if (!check_cl(status, "clCreateContext")) {
        return exit_call_failed;
    }
    const QueueHolder queue(clCreateCommandQueue(context.get(), device.id, CL_QUEUE_PROFILING_ENABLE, &status));
    if (!check_cl(status, "clCreateCommandQueue")) {
        return exit_call_failed;
    }

    std::array<cl_uint, element_count> input{};
    std::array<cl_uint, element_count> output{};
    for (size_t i = 0; i < element_count; ++i) {
        input[i] = static_cast<cl_uint>(3 * i + 7);
    }

    const BufferHolder input_buffer(
        clCreateBuffer(context.get(), CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR, buffer_bytes, input.data(), &status));
    if (!check_cl(status, "clCreateBuffer(input)")) {
        return exit_call_failed;
    }
    const BufferHolder output_buffer(clCreateBuffer(context.get(), CL_MEM_WRITE_ONLY, buffer_bytes, nullptr, &status));
    if (!check_cl(status, "clCreateBuffer(output)")) {
        return exit_call_failed;
    }

    const char* source = kernel_source;
    const size_t source_length = kernel_source_length;
    const ProgramHolder program(clCreateProgramWithSource(context.get(), 1, &source, &source_length, &status));
    if (!check_cl(status, "clCreateProgramWithSource")) {
        return exit_call_failed;
    }
    const cl_int build_status = clBuildProgram(program.get(), 1, &device.id, "-cl-std=CL1.2", nullptr, nullptr);
    if (build_status != CL_SUCCESS) {
        std::cerr << "clBuildProgram failed: " << cl_status_name(build_status) << " (" << build_status << ")\n";
        std::cerr << query_build_log(program.get(), device.id) << '\n';
        return exit_build_failed;
    }

    const KernelHolder kernel(clCreateKernel(program.get(), "add_one", &status));
    if (!check_cl(status, "clCreateKernel")) {
        return exit_call_failed;
    }
    cl_mem input_handle = input_buffer.get();
    cl_mem output_handle = output_buffer.get();
    if (!check_cl(clSetKernelArg(kernel.get(), 0, sizeof input_handle, &input_handle), "clSetKernelArg(input)") ||
        !check_cl(clSetKernelArg(kernel.get(), 1, sizeof output_handle, &output_handle), "clSetKernelArg(output)")) {
        return exit_call_failed;
    }

    // Groups of 64 only where the device allows groups that large; otherwise
    // the runtime chooses.
    const size_t global_size = element_count;
    const size_t local_size = group_size;
    const size_t* local = device.max_work_group >= group_size ? &local_size : nullptr;
    cl_event launch_event = nullptr;
    const cl_int launch_status =
        clEnqueueNDRangeKernel(queue.get(), kernel.get(), 1, nullptr, &global_size, local, 0, nullptr, &launch_event);
    const EventHolder launch(launch_event);
    if (!check_cl(launch_status, "clEnqueueNDRangeKernel")) {
        return exit_call_failed;
    }
    if (!check_cl(clWaitForEvents(1, &launch_event), "clWaitForEvents")) {
        return exit_call_failed;
    }
    if (!check_cl(clEnqueueReadBuffer(queue.get(), output_buffer.get(), CL_TRUE, 0, buffer_bytes, output.data(), 0,
                                      nullptr, nullptr),
                  "clEnqueueReadBuffer")) {
        return exit_call_failed;
    }

    for (size_t i = 0; i < element_count; ++i) {
        const cl_uint expected = input[i] + 1U;
        if (output[i] != expected) {
            std::cerr << "self-test mismatch at " << static_cast<std::uint64_t>(i) << ": got "
                      << static_cast<std::uint32_t>(output[i]) << " expected " << static_cast<std::uint32_t>(expected)
                      << '\n';
            return exit_mismatch;
        }
    }

    const double kernel_us = kernel_microseconds(launch_event);
    std::cout << "self_test=PASS\n";
    std::cout << "platform=" << platform.name << '\n';
    std::cout << "device=" << device.name << '\n';
    std::cout << "opencl_c=" << device.opencl_c << '\n';
    std::cout << "kernel_us=" << kernel_us << '\n';
    return 0;
}
