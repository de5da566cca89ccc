// SPDX-License-Identifier: Apache-2.0
// --probe against the real drivers of this machine, checked value by value
// against what clinfo reads through the same loader set-up.

#include <gtest/gtest.h>

#include "clinfo.hpp"
#include "harness.hpp"

namespace e2e {
namespace {

std::string type_word(const std::string& clinfo_type) {
    for (const char* word : {"GPU", "CPU", "ACCELERATOR"}) {
        if (clinfo_type.find(std::string("CL_DEVICE_TYPE_") + word) != std::string::npos) {
            return word;
        }
    }
    return "OTHER";
}

// The report that the values clinfo read must give.
std::string expected_report(const std::vector<ClinfoPlatform>& platforms) {
    std::string out = "Corvane OpenCL probe\nplatform_count=" + std::to_string(platforms.size()) + "\n";
    for (size_t i = 0; i < platforms.size(); ++i) {
        const Attributes& a = platforms[i].attributes;
        const std::string p = "platform[" + std::to_string(i) + "].";
        out += p + "name=" + a.get("CL_PLATFORM_NAME") + "\n" + p + "vendor=" + a.get("CL_PLATFORM_VENDOR") + "\n" + p +
               "version=" + a.get("CL_PLATFORM_VERSION") + "\n" + p +
               "device_count=" + std::to_string(platforms[i].devices.size()) + "\n";
        for (size_t j = 0; j < platforms[i].devices.size(); ++j) {
            const Attributes& d = platforms[i].devices[j];
            const std::string k = "device[" + std::to_string(i) + ":" + std::to_string(j) + "].";
            out += k + "name=" + d.get("CL_DEVICE_NAME") + "\n" + k + "type=" + type_word(d.get("CL_DEVICE_TYPE")) +
                   "\n" + k + "vendor=" + d.get("CL_DEVICE_VENDOR") + "\n" + k +
                   "version=" + d.get("CL_DEVICE_VERSION") + "\n" + k +
                   "opencl_c=" + d.get("CL_DEVICE_OPENCL_C_VERSION") + "\n" + k +
                   "compiler=" + (d.get("CL_DEVICE_COMPILER_AVAILABLE") == "CL_TRUE" ? "true" : "false") + "\n" + k +
                   "compute_units=" + d.get("CL_DEVICE_MAX_COMPUTE_UNITS") + "\n" + k +
                   "max_work_group=" + d.get("CL_DEVICE_MAX_WORK_GROUP_SIZE") + "\n" + k +
                   "global_mem=" + d.get("CL_DEVICE_GLOBAL_MEM_SIZE") + "\n" + k +
                   "max_alloc=" + d.get("CL_DEVICE_MAX_MEM_ALLOC_SIZE") + "\n" + k +
                   "local_mem=" + d.get("CL_DEVICE_LOCAL_MEM_SIZE") + "\n";
        }
    }
    return out;
}

struct RealCase {
    const char* what;
    std::vector<std::string> icds;  // library paths or .icd files, each as its own .icd entry
    int platforms;                  // how many platforms this set-up must show at least
    int status;
    std::string err;
};

void PrintTo(const RealCase& c, std::ostream* os) {
    *os << c.what;
}

class RealProbe : public testing::TestWithParam<RealCase> {};

TEST_P(RealProbe, AgreesWithClinfo) {
    const RealCase& c = GetParam();
    const std::string unavailable = unavailable_driver(c.icds);
    if (!unavailable.empty()) {
        GTEST_SKIP() << unavailable;
    }
    const TempDir dir;
    const Env env = real_env(dir, c.icds);
    const std::vector<ClinfoPlatform> seen = clinfo(env);
    ASSERT_GE(seen.size(), static_cast<size_t>(c.platforms));
    const Outcome run = run_tool({"--probe"}, env);
    EXPECT_EQ(run.out, eol(expected_report(seen)));
    EXPECT_EQ(run.err, eol(c.err));
    EXPECT_EQ(run.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, RealProbe,
    testing::Values(RealCase{"pocl", {pocl_icd}, 1, 0, ""}, RealCase{"oclgrind", {oclgrind_lib}, 1, 0, ""},
                    RealCase{"mesa", {mesa_icd, rusticl_icd}, 2, 3, "no usable OpenCL C 1.2 compiler device found\n"},
                    RealCase{"none", {}, 0, 2, "no OpenCL platforms found\n"},
                    RealCase{"mixture", {mesa_icd, pocl_icd, oclgrind_lib, rusticl_icd}, 4, 0, ""}),
    [](const testing::TestParamInfo<RealCase>& test_info) { return std::string(test_info.param.what); });

}  // namespace
}  // namespace e2e
