// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <sstream>

#include "opencl/status.hpp"

namespace {

TEST(StatusName, KnowsExactlyItsFourteenNames) {
    const struct {
        cl_int status;
        const char* name;
    } named[] = {
        {0, "CL_SUCCESS"},
        {-1, "CL_DEVICE_NOT_FOUND"},
        {-2, "CL_DEVICE_NOT_AVAILABLE"},
        {-3, "CL_COMPILER_NOT_AVAILABLE"},
        {-4, "CL_MEM_OBJECT_ALLOCATION_FAILURE"},
        {-5, "CL_OUT_OF_RESOURCES"},
        {-6, "CL_OUT_OF_HOST_MEMORY"},
        {-11, "CL_BUILD_PROGRAM_FAILURE"},
        {-30, "CL_INVALID_VALUE"},
        {-33, "CL_INVALID_DEVICE"},
        {-34, "CL_INVALID_CONTEXT"},
        {-48, "CL_INVALID_KERNEL"},
        {-52, "CL_INVALID_KERNEL_ARGS"},
        {-54, "CL_INVALID_WORK_GROUP_SIZE"},
    };
    // Every other status is printed as a number. The range holds every code the
    // OpenCL headers define (the extensions' reach down to -1142), so a name the
    // code gives beyond these fourteen fails here.
    for (cl_int status = -1200; status <= 100; ++status) {
        std::string expected = "OpenCL error " + std::to_string(status);
        for (const auto& n : named) {
            if (n.status == status) {
                expected = n.name;
            }
        }
        EXPECT_EQ(cl_status_name(status), expected);
    }
    EXPECT_EQ(cl_status_name(-2147483647 - 1), "OpenCL error -2147483648");
    EXPECT_EQ(cl_status_name(2147483647), "OpenCL error 2147483647");
}

// check_cl writes to std::cerr; capture it for the duration of one call.
std::string failure_line(cl_int status, const char* label, bool& ok) {
    std::ostringstream captured;
    std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
    ok = check_cl(status, label);
    std::cerr.rdbuf(saved);
    return captured.str();
}

TEST(CheckCl, SuccessIsSilentFailureIsOneLine) {
    const struct {
        const char* label;
        const char* line;
        cl_int status;
        bool ok;
    } cases[] = {
        {"clCreateContext", "", 0, true},
        {"", "", 0, true},
        {"clCreateContext", "clCreateContext failed: CL_OUT_OF_HOST_MEMORY (-6)\n", -6, false},
        {"clCreateKernel", "clCreateKernel failed: OpenCL error -46 (-46)\n", -46, false},
        {"label", "label failed: OpenCL error 5 (5)\n", 5, false},
        {"clSetKernelArg(output)", "clSetKernelArg(output) failed: CL_INVALID_KERNEL_ARGS (-52)\n", -52, false},
    };
    for (const auto& c : cases) {
        bool ok = !c.ok;
        EXPECT_EQ(failure_line(c.status, c.label, ok), c.line);
        EXPECT_EQ(ok, c.ok) << c.status;
    }
}

}  // namespace
