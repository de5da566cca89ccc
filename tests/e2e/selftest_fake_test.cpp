// SPDX-License-Identifier: Apache-2.0
// --self-test through the real loader and the scripted driver: device choice,
// every checked call failing, the build report, the result check, the timing,
// and what the tool asked the driver for.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.hpp"

namespace e2e {
namespace {

const std::string no_usable = "no usable OpenCL C 1.2 compiler device found\n";

Outcome self_test(const TempDir& dir, const std::string& scenario_text) {
    return run_tool({"--self-test"}, fake_env(dir, scenario_text));
}

std::string pass_report(const std::string& platform, const std::string& device, const std::string& opencl_c,
                        const std::string& kernel_us) {
    return "self_test=PASS\nplatform=" + platform + "\ndevice=" + device + "\nopencl_c=" + opencl_c +
           "\nkernel_us=" + kernel_us + "\n";
}

FakeDevice device(const std::string& type, const std::string& name, const std::string& opencl_c = "OpenCL C 1.2") {
    FakeDevice d;
    d.type = type;
    d.name = name;
    d.opencl_c = opencl_c;
    return d;
}

FakePlatform platform(const std::string& name, const std::vector<FakeDevice>& devices) {
    FakePlatform p;
    p.name = name;
    p.devices = devices;
    return p;
}

// The call log without the enumeration and attribute queries.
std::vector<std::string> run_calls(const TempDir& dir) {
    std::vector<std::string> lines;
    for (const std::string& line : calls(dir, "")) {
        if (line.rfind("clGetPlatformInfo", 0) != 0 && line.rfind("clGetDeviceInfo", 0) != 0 &&
            line.rfind("clGetDeviceIDs", 0) != 0 && line.rfind("clIcdGetPlatformIDsKHR", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> releases(const TempDir& dir) {
    std::vector<std::string> lines;
    for (const std::string& line : run_calls(dir)) {
        if (line.rfind("clRelease", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

// ---- Device choice ----

struct ChoiceCase {
    const char* what;
    std::vector<FakePlatform> platforms;
    std::string chosen_platform;  // empty: nothing is chosen
    std::string chosen_device;
};

void PrintTo(const ChoiceCase& c, std::ostream* os) {
    *os << c.what;
}

class FakeDeviceChoice : public testing::TestWithParam<ChoiceCase> {};

TEST_P(FakeDeviceChoice, RunsOnTheChosenDevice) {
    const ChoiceCase& c = GetParam();
    const TempDir dir;
    const Outcome run = self_test(dir, scenario(c.platforms));
    if (c.chosen_platform.empty()) {
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, eol(no_usable));
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(calls(dir, "clCreateContext").empty());
        return;
    }
    EXPECT_EQ(run.out, eol(pass_report(c.chosen_platform, c.chosen_device, "OpenCL C 1.2", "1")));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

const FakeDevice usable_gpu = device("4", "Usable GPU");
const FakeDevice second_gpu = device("4", "Second GPU");
const FakeDevice old_gpu = device("4", "Old GPU", "OpenCL C 1.1");
const FakeDevice usable_cpu = device("2", "Usable CPU");
const FakeDevice usable_accelerator = device("8", "Usable Accelerator");
const FakeDevice compilerless_gpu = [] {
    FakeDevice d = device("4", "Compilerless GPU");
    d.compiler = "0";
    return d;
}();

INSTANTIATE_TEST_SUITE_P(
    Rules, FakeDeviceChoice,
    testing::Values(
        ChoiceCase{"no_platform", {}, "", ""}, ChoiceCase{"platform_without_devices", {platform("Empty", {})}, "", ""},
        ChoiceCase{"gpu_wins_over_an_earlier_cpu", {platform("P", {usable_cpu, usable_gpu})}, "P", "Usable GPU"},
        ChoiceCase{"first_of_two_gpus", {platform("P", {usable_gpu, second_gpu})}, "P", "Usable GPU"},
        ChoiceCase{"first_usable_gpu", {platform("P", {old_gpu, compilerless_gpu, second_gpu})}, "P", "Second GPU"},
        ChoiceCase{"unusable_gpu_hides_a_usable_cpu", {platform("P", {old_gpu, usable_cpu})}, "", ""},
        ChoiceCase{"cpu_on_a_platform_without_gpu_wins_over_a_later_gpu",
                   {platform("P0", {usable_cpu}), platform("P1", {usable_gpu})},
                   "P0",
                   "Usable CPU"},
        ChoiceCase{"unusable_gpu_platform_passed_over",
                   {platform("P0", {old_gpu, usable_cpu}), platform("P1", {usable_cpu})},
                   "P1",
                   "Usable CPU"},
        ChoiceCase{
            "accelerator_when_no_gpu", {platform("P", {usable_accelerator, usable_cpu})}, "P", "Usable Accelerator"},
        ChoiceCase{"failed_gpu_listing_falls_back_to_all",
                   {[] {
                       FakePlatform p = platform("P", {old_gpu, usable_cpu});
                       p.extra = "list_fail 4 count -5\n";
                       return p;
                   }()},
                   "P",
                   "Usable CPU"},
        ChoiceCase{"failed_listings_pass_the_platform_over",
                   {[] {
                        FakePlatform p = platform("P0", {usable_gpu});
                        p.extra = "list_fail 4 data -5\nlist_fail 0xFFFFFFFF count -5\n";
                        return p;
                    }(),
                    platform("P1", {second_gpu})},
                   "P1",
                   "Second GPU"}),
    [](const testing::TestParamInfo<ChoiceCase>& test_info) { return std::string(test_info.param.what); });

TEST(FakeSelfTest, ProbePassesWhereTheSelfTestFindsNothing) {
    const TempDir dir;
    const std::string text = scenario({platform("P", {old_gpu, usable_cpu})});
    EXPECT_EQ(run_tool({"--probe"}, fake_env(dir, text)).status, 0);
    EXPECT_EQ(self_test(dir, text).status, 2);
}

// ---- What the tool asks for on a passing run ----

std::string kernel_source_as_logged() {
    return "__kernel void add_one(__global const uint* in, __global uint* out) {\\n"
           "  const size_t i = get_global_id(0);\\n"
           "  out[i] = in[i] + 1u;\\n"
           "}\\n";
}

TEST(FakeSelfTest, PassingRunMakesExactlyTheseCallsAndReleasesInReverse) {
    const TempDir dir;
    const Outcome run = self_test(dir, scenario({platform("P", {usable_gpu})}));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> expected = {
        "clCreateContext properties=null num_devices=1 device#0 notify=null user_data=null -> context#1",
        "clCreateCommandQueue context#1 device#0 properties=0x2 -> queue#1",
        "clCreateBuffer context#1 flags=0x24 size=1024 host_ptr=set first=7,10,13 last=772 sum=99712 -> buffer#1",
        "clCreateBuffer context#1 flags=0x2 size=1024 host_ptr=null -> buffer#2",
        "clCreateProgramWithSource context#1 count=1 lengths=131 source=" + kernel_source_as_logged() + " -> program#1",
        "clBuildProgram program#1 num_devices=1 device#0 options=-cl-std=CL1.2 notify=null user_data=null -> 0",
        "clCreateKernel program#1 name=add_one -> kernel#1",
        "clSetKernelArg kernel#1 index=0 size=8 value=buffer#1 -> 0",
        "clSetKernelArg kernel#1 index=1 size=8 value=buffer#2 -> 0",
        std::string("clEnqueueNDRangeKernel queue#1 kernel#1 work_dim=1 offset=null global=256 local=64 ") +
            "num_wait=0 wait_list=null event=set -> event#1",
        "clWaitForEvents num_events=1 event#1 -> 0",
        std::string("clEnqueueReadBuffer queue#1 buffer#2 blocking=1 offset=0 size=1024 ptr=set ") +
            "num_wait=0 wait_list=null event=null -> 0",
        "clGetEventProfilingInfo event#1 param=0x1282 size=8",
        "clGetEventProfilingInfo event#1 param=0x1283 size=8",
        "clReleaseEvent event#1",
        "clReleaseKernel kernel#1",
        "clReleaseProgram program#1",
        "clReleaseMemObject buffer#2",
        "clReleaseMemObject buffer#1",
        "clReleaseCommandQueue queue#1",
        "clReleaseContext context#1",
    };
    EXPECT_EQ(run_calls(dir), expected);
}

struct GroupCase {
    std::string max_work_group;
    std::string local;
};

void PrintTo(const GroupCase& c, std::ostream* os) {
    *os << "max_work_group " << c.max_work_group;
}

class FakeWorkGroup : public testing::TestWithParam<GroupCase> {};

TEST_P(FakeWorkGroup, LocalSizeFollowsTheDeviceLimit) {
    const TempDir dir;
    FakeDevice d = usable_gpu;
    d.max_work_group = GetParam().max_work_group;
    ASSERT_EQ(self_test(dir, scenario({platform("P", {d})})).status, 0);
    const std::vector<std::string> launches = calls(dir, "clEnqueueNDRangeKernel");
    ASSERT_EQ(launches.size(), 1U);
    EXPECT_NE(launches[0].find(" global=256 local=" + GetParam().local + " "), std::string::npos) << launches[0];
}

INSTANTIATE_TEST_SUITE_P(Limits, FakeWorkGroup,
                         testing::Values(GroupCase{"32", "null"}, GroupCase{"63", "null"}, GroupCase{"64", "64"},
                                         GroupCase{"1024", "64"}, GroupCase{"0", "null"},
                                         GroupCase{"256\nmax_work_group.mode fail", "null"}));

TEST(FakeSelfTest, RuntimeRefusingGroupsOf64FailsTheLaunch) {
    const TempDir dir;
    const Outcome run = self_test(dir, scenario({platform("P", {usable_gpu})}, "refuse_local_size -54\n"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, eol("clEnqueueNDRangeKernel failed: CL_INVALID_WORK_GROUP_SIZE (-54)\n"));
    EXPECT_EQ(run.status, 3);
}

// ---- Every checked call failing ----
// The failure line's one home: each call's label, the status's name or number,
// the exact bytes on standard error.

struct CallFailure {
    const char* label;
    std::string directive;  // the scenario's "fail" line
    std::string name;       // the status as the failure line names it
    int status;
    size_t created;  // objects made before the failure, in creation order
};

void PrintTo(const CallFailure& c, std::ostream* os) {
    *os << c.label;
}

class FakeCheckedCall : public testing::TestWithParam<CallFailure> {};

TEST_P(FakeCheckedCall, FailureIsReportedOnceAndEndsTheRun) {
    const CallFailure& c = GetParam();
    const TempDir dir;
    const Outcome run = self_test(dir, scenario({platform("P", {usable_gpu})}, c.directive + "\n"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, eol(std::string(c.label) + " failed: " + c.name + " (" + std::to_string(c.status) + ")\n"));
    EXPECT_EQ(run.status, 3);
    // The failing call is the last one made; only releases follow it.
    std::vector<std::string> made = run_calls(dir);
    made.erase(std::remove_if(made.begin(), made.end(),
                              [](const std::string& line) { return line.rfind("clRelease", 0) == 0; }),
               made.end());
    ASSERT_FALSE(made.empty());
    const std::string function = c.directive.substr(5, c.directive.find(' ', 5) - 5);  // after "fail "
    const std::string outcome = " -> " + std::to_string(c.status);
    EXPECT_EQ(made.back().rfind(function + " ", 0), 0U) << made.back();
    EXPECT_EQ(made.back().substr(made.back().size() - outcome.size()), outcome) << made.back();
    // What was created is released, newest first.
    const std::vector<std::string> objects = {"clReleaseContext context#1",  "clReleaseCommandQueue queue#1",
                                              "clReleaseMemObject buffer#1", "clReleaseMemObject buffer#2",
                                              "clReleaseProgram program#1",  "clReleaseKernel kernel#1",
                                              "clReleaseEvent event#1"};
    std::vector<std::string> expected(objects.begin(), objects.begin() + static_cast<std::ptrdiff_t>(c.created));
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(releases(dir), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, FakeCheckedCall,
    testing::Values(
        CallFailure{"clCreateContext", "fail clCreateContext -6", "CL_OUT_OF_HOST_MEMORY", -6, 0},
        CallFailure{"clCreateCommandQueue", "fail clCreateCommandQueue -5", "CL_OUT_OF_RESOURCES", -5, 1},
        CallFailure{"clCreateBuffer(input)", "fail clCreateBuffer -4", "CL_MEM_OBJECT_ALLOCATION_FAILURE", -4, 2},
        CallFailure{"clCreateBuffer(output)", "fail clCreateBuffer -61 2", "OpenCL error -61", -61, 3},
        CallFailure{"clCreateProgramWithSource", "fail clCreateProgramWithSource -34", "CL_INVALID_CONTEXT", -34, 4},
        CallFailure{"clCreateKernel", "fail clCreateKernel -46", "OpenCL error -46", -46, 5},
        CallFailure{"clSetKernelArg(input)", "fail clSetKernelArg -52", "CL_INVALID_KERNEL_ARGS", -52, 6},
        CallFailure{"clSetKernelArg(output)", "fail clSetKernelArg 5 2", "OpenCL error 5", 5, 6},
        CallFailure{"clEnqueueNDRangeKernel", "fail clEnqueueNDRangeKernel -59", "OpenCL error -59", -59, 6},
        CallFailure{"clWaitForEvents", "fail clWaitForEvents -14", "OpenCL error -14", -14, 7},
        CallFailure{"clEnqueueReadBuffer", "fail clEnqueueReadBuffer -2147483648", "OpenCL error -2147483648",
                    -2147483647 - 1, 7}),
    [](const testing::TestParamInfo<CallFailure>& test_info) {
        std::string name = test_info.param.label;
        name.erase(std::remove_if(name.begin(), name.end(), [](char ch) { return ch == '(' || ch == ')'; }),
                   name.end());
        return name;
    });

// ---- The build report ----

struct BuildCase {
    const char* what;
    std::string directives;
    std::string err;
};

void PrintTo(const BuildCase& c, std::ostream* os) {
    *os << c.what;
}

class FakeBuildFailure : public testing::TestWithParam<BuildCase> {};

TEST_P(FakeBuildFailure, ReportsStatusAndLogThenStops) {
    const BuildCase& c = GetParam();
    const TempDir dir;
    const Outcome run = self_test(dir, scenario({platform("P", {usable_gpu})}, c.directives));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, eol(c.err));
    EXPECT_EQ(run.status, 4);
    EXPECT_TRUE(calls(dir, "clCreateKernel").empty());
    const std::vector<std::string> log_queries = calls(dir, "clGetProgramBuildInfo");
    ASSERT_FALSE(log_queries.empty());
    EXPECT_EQ(log_queries[0], "clGetProgramBuildInfo program#1 device#0 param=0x1183 size=0 value=null size_ret=set");
}

const std::string build_failed = "clBuildProgram failed: CL_BUILD_PROGRAM_FAILURE (-11)\n";

INSTANTIATE_TEST_SUITE_P(
    Logs, FakeBuildFailure,
    testing::Values(
        BuildCase{"multi_line_log",
                  "fail clBuildProgram -11\nbuild_log <source>:3:3: error: use of undeclared identifier 'x'\\n  "
                  "x = 1;\\n  ^\\n\n",
                  build_failed + "<source>:3:3: error: use of undeclared identifier 'x'\n  x = 1;\n  ^\n\n"},
        BuildCase{"empty_log", "fail clBuildProgram -11\n", build_failed + "\n"},
        BuildCase{"failing_size_query_still_reports_a_size",
                  "fail clBuildProgram -11\nbuild_log <source>:1:1: error: kept\\nin full\n"
                  "build_log.mode fail_size_with_size\n",
                  build_failed + "<source>:1:1: error: kept\nin full\n"},
        BuildCase{"compiler_not_available", "fail clBuildProgram -3\nbuild_log none\n",
                  "clBuildProgram failed: CL_COMPILER_NOT_AVAILABLE (-3)\nnone\n"}),
    [](const testing::TestParamInfo<BuildCase>& test_info) { return std::string(test_info.param.what); });

// ---- The result check ----

struct MismatchCase {
    std::string wrong;
    std::string line;
};

void PrintTo(const MismatchCase& c, std::ostream* os) {
    *os << c.wrong;
}

class FakeMismatch : public testing::TestWithParam<MismatchCase> {};

TEST_P(FakeMismatch, FirstWrongValueIsReported) {
    const TempDir dir;
    const Outcome run = self_test(dir, scenario({platform("P", {usable_gpu})}, GetParam().wrong));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, eol(GetParam().line));
    EXPECT_EQ(run.status, 5);
    EXPECT_TRUE(calls(dir, "clGetEventProfilingInfo").empty());
}

INSTANTIATE_TEST_SUITE_P(Values, FakeMismatch,
                         testing::Values(MismatchCase{"wrong 0 0\n", "self-test mismatch at 0: got 0 expected 8\n"},
                                         MismatchCase{"wrong 200 1\nwrong 17 4294967295\n",
                                                      "self-test mismatch at 17: got 4294967295 expected 59\n"},
                                         MismatchCase{"wrong 255 772\n",
                                                      "self-test mismatch at 255: got 772 expected 773\n"}));

// ---- The kernel time ----

struct TimingCase {
    std::string counters;
    std::string kernel_us;
};

void PrintTo(const TimingCase& c, std::ostream* os) {
    *os << c.counters << " -> " << c.kernel_us;
}

class FakeKernelTime : public testing::TestWithParam<TimingCase> {};

TEST_P(FakeKernelTime, PrintedInTheStreamsDefaultFormat) {
    const TempDir dir;
    const Outcome run = self_test(dir, scenario({platform("P", {usable_gpu})}, GetParam().counters));
    EXPECT_EQ(run.out, eol(pass_report("P", "Usable GPU", "OpenCL C 1.2", GetParam().kernel_us)));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

// The tool's part: no time unless both counters are read and end is after
// start, and nanoseconds to microseconds as a double. How the stream formats a
// double is shown once, in exponent form, with a span of the full 64 bits.
INSTANTIATE_TEST_SUITE_P(
    Counters, FakeKernelTime,
    testing::Values(TimingCase{"profiling_start 9000\nprofiling_end 5000\n", "0"},
                    TimingCase{"profiling_start 1000\nprofiling_end 13500\n", "12.5"},
                    TimingCase{"profiling_start 1\nprofiling_end 2\n", "0.001"},
                    TimingCase{"profiling_start 0\nprofiling_end 18446744073709551615\n", "1.84467e+16"},
                    // A counter the runtime does not write reads as 0.
                    TimingCase{"profiling_start 0\nprofiling_end 13500\nprofiling_start.mode silent\n", "13.5"},
                    TimingCase{"profiling_start 0\nprofiling_end.mode silent\n", "0"},
                    // A counter that cannot be read gives no time rather than a timestamp.
                    TimingCase{"profiling_start 1000\nprofiling_end 13500\nprofiling_start.mode fail\n", "0"},
                    TimingCase{"profiling_start 1000\nprofiling_end 13500\nprofiling_end.mode fail\n", "0"}));

}  // namespace
}  // namespace e2e
