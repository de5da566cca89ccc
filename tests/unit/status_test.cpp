// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

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

}  // namespace
