// SPDX-License-Identifier: Apache-2.0
// --self-test on the real drivers of this machine: it must pass wherever a
// real device can run the kernel, on the device that clinfo's view of the
// same loader set-up says the choice rule picks.

#include <gtest/gtest.h>

#include <cstdlib>

#include "clinfo.hpp"
#include "harness.hpp"

namespace e2e {
namespace {

struct Choice {
    std::string platform;
    std::string device;
    std::string opencl_c;
};

bool usable(const Attributes& d) {
    const std::string c = d.get("CL_DEVICE_OPENCL_C_VERSION");
    const bool version =
        c.rfind("OpenCL C 1.2", 0) == 0 || c.rfind("OpenCL C 2.", 0) == 0 || c.rfind("OpenCL C 3.", 0) == 0;
    return d.get("CL_DEVICE_COMPILER_AVAILABLE") == "CL_TRUE" && version;
}

// Platform by platform: the first usable GPU; only where a platform has no
// GPU, its first usable device.
bool expected_choice(const std::vector<ClinfoPlatform>& platforms, Choice& choice) {
    for (const ClinfoPlatform& p : platforms) {
        std::vector<const Attributes*> candidates;
        for (const Attributes& d : p.devices) {
            if (d.get("CL_DEVICE_TYPE").find("CL_DEVICE_TYPE_GPU") != std::string::npos) {
                candidates.push_back(&d);
            }
        }
        if (candidates.empty()) {
            for (const Attributes& d : p.devices) {
                candidates.push_back(&d);
            }
        }
        for (const Attributes* d : candidates) {
            if (usable(*d)) {
                choice = {p.attributes.get("CL_PLATFORM_NAME"), d->get("CL_DEVICE_NAME"),
                          d->get("CL_DEVICE_OPENCL_C_VERSION")};
                return true;
            }
        }
    }
    return false;
}

struct RealCase {
    const char* what;
    std::vector<std::string> icds;
    bool sort_none;
    std::string must_choose;  // the platform this set-up must end on; empty: none; "*": as clinfo's order implies
};

void PrintTo(const RealCase& c, std::ostream* os) {
    *os << c.what;
}

class RealSelfTest : public testing::TestWithParam<RealCase> {};

TEST_P(RealSelfTest, PassesOnTheChosenDevice) {
    const RealCase& c = GetParam();
    const std::string unavailable = unavailable_driver(c.icds);
    if (!unavailable.empty()) {
        GTEST_SKIP() << unavailable;
    }
    const TempDir dir;
    Env env = real_env(dir, c.icds);
    if (c.sort_none) {
        env.emplace_back("OCL_ICD_PLATFORM_SORT", "none");
    }
    Choice choice;
    const bool found = expected_choice(clinfo(env), choice);
    const Outcome run = run_tool({"--self-test"}, env);
    if (c.must_choose.empty()) {
        ASSERT_FALSE(found);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, eol("no usable OpenCL C 1.2 compiler device found\n"));
        EXPECT_EQ(run.status, 2);
        return;
    }
    ASSERT_TRUE(found);
    if (c.must_choose != "*") {
        EXPECT_EQ(choice.platform, c.must_choose);
    }
    const std::string head = eol("self_test=PASS\nplatform=" + choice.platform + "\ndevice=" + choice.device +
                                 "\nopencl_c=" + choice.opencl_c + "\nkernel_us=");
    ASSERT_EQ(run.out.substr(0, head.size()), head) << run.out << run.err;
    const std::string time = run.out.substr(head.size());
    const std::string end = eol("\n");
    ASSERT_GT(time.size(), end.size());
    EXPECT_EQ(time.substr(time.size() - end.size()), end);
    const std::string number = time.substr(0, time.size() - end.size());
    char* stop = nullptr;
    const double us = std::strtod(number.c_str(), &stop);
    EXPECT_EQ(*stop, '\0') << number;
    EXPECT_GT(us, 0.0) << "a real device's profiling counters give a kernel time";
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, RealSelfTest,
    testing::Values(RealCase{"pocl", {pocl_icd}, false, "Portable Computing Language"},
                    RealCase{"oclgrind", {oclgrind_lib}, false, "Oclgrind"},
                    RealCase{"mesa", {mesa_icd, rusticl_icd}, false, ""}, RealCase{"none", {}, false, ""},
                    // ocl-icd, this machine's loader, puts platforms with GPUs first by default;
                    // oclgrind's device reports the GPU bit.
                    RealCase{"mixture_sorted", {pocl_icd, mesa_icd, oclgrind_lib}, false, "Oclgrind"},
                    // In the loader's own order the first platform with a usable device wins,
                    // whichever that is; clinfo tells the order.
                    RealCase{"mixture_unsorted", {mesa_icd, pocl_icd, oclgrind_lib, rusticl_icd}, true, "*"},
                    RealCase{"mixture_unsorted_reversed", {rusticl_icd, oclgrind_lib, pocl_icd, mesa_icd}, true, "*"}),
    [](const testing::TestParamInfo<RealCase>& test_info) { return std::string(test_info.param.what); });

}  // namespace
}  // namespace e2e
