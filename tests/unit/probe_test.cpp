// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "probe/probe.hpp"

namespace {

TEST(TypeWord, FirstSetBitOfGpuCpuAcceleratorWins) {
    const struct {
        cl_device_type type;
        const char* word;
    } cases[] = {
        {CL_DEVICE_TYPE_GPU, "GPU"},
        {CL_DEVICE_TYPE_CPU, "CPU"},
        {CL_DEVICE_TYPE_ACCELERATOR, "ACCELERATOR"},
        {CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_CPU, "GPU"},
        {CL_DEVICE_TYPE_CPU | CL_DEVICE_TYPE_ACCELERATOR, "CPU"},
        {CL_DEVICE_TYPE_ALL, "GPU"},
        {CL_DEVICE_TYPE_DEFAULT, "OTHER"},
        {CL_DEVICE_TYPE_CUSTOM, "OTHER"},
        {0, "OTHER"},
        {cl_device_type{1} << 40, "OTHER"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(type_word(c.type), c.word) << c.type;
    }
}

}  // namespace
