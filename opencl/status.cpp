// SPDX-License-Identifier: Apache-2.0
#include "opencl/status.hpp"

#include <iostream>
#include <sstream>

std::string cl_status_name(cl_int status) {
    switch (status) {
        case 0: return "CL_SUCCESS";
        case -1: return "CL_DEVICE_NOT_FOUND";
        case -2: return "CL_DEVICE_NOT_AVAILABLE";
        case -3: return "CL_COMPILER_NOT_AVAILABLE";
        case -4: return "CL_MEM_OBJECT_ALLOCATION_FAILURE";
        case -5: return "CL_OUT_OF_RESOURCES";
        case -6: return "CL_OUT_OF_HOST_MEMORY";
        case -11: return "CL_BUILD_PROGRAM_FAILURE";
        case -30: return "CL_INVALID_VALUE";
        case -33: return "CL_INVALID_DEVICE";
        case -34: return "CL_INVALID_CONTEXT";
        case -48: return "CL_INVALID_KERNEL";
        case -52: return "CL_INVALID_KERNEL_ARGS";
        case -54: return "CL_INVALID_WORK_GROUP_SIZE";
        default: break;
    }
    std::ostringstream text;
    text << "OpenCL error " << status;
    return text.str();
}

bool check_cl(cl_int status, const char* label) {
    if (status == CL_SUCCESS) {
        return true;
    }
    std::cerr << label << " failed: " << cl_status_name(status) << " (" << status << ")\n";
    return false;
}
