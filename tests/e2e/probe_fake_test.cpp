// SPDX-License-Identifier: Apache-2.0
// --probe through the real loader and the scripted driver.

#include <gtest/gtest.h>

#include <cctype>

#include "harness.hpp"

namespace e2e {
namespace {

const std::string banner = "Corvane OpenCL probe\n";
const std::string no_usable = "no usable OpenCL C 1.2 compiler device found\n";

Outcome probe(const TempDir& dir, const std::string& scenario_text) {
    return run_tool({"--probe"}, fake_env(dir, scenario_text));
}

// The device lines the report holds for `d`, with the type word and compiler
// text given separately since those are what the cases vary.
std::string device_lines(const std::string& at, const FakeDevice& d, const std::string& type_word,
                         const std::string& compiler) {
    const std::string p = "device[" + at + "].";
    return p + "name=" + d.name + "\n" + p + "type=" + type_word + "\n" + p + "vendor=" + d.vendor + "\n" + p +
           "version=" + d.version + "\n" + p + "opencl_c=" + d.opencl_c + "\n" + p + "compiler=" + compiler + "\n" + p +
           "compute_units=" + d.compute_units + "\n" + p + "max_work_group=" + d.max_work_group + "\n" + p +
           "global_mem=" + d.global_mem + "\n" + p + "max_alloc=" + d.max_alloc + "\n" + p +
           "local_mem=" + d.local_mem + "\n";
}

TEST(FakeProbe, NoPlatform) {
    const TempDir dir;
    const Outcome run = probe(dir, "");
    EXPECT_EQ(run.out, eol(banner + "platform_count=0\n"));
    EXPECT_EQ(run.err, eol("no OpenCL platforms found\n"));
    EXPECT_EQ(run.status, 2);
}

TEST(FakeProbe, PlatformWithoutDevices) {
    const TempDir dir;
    FakePlatform p;
    p.vendor = "";
    const Outcome run = probe(dir, scenario({p}));
    EXPECT_EQ(run.out, eol(banner + "platform_count=1\n"
                                    "platform[0].name=Fake Platform\n"
                                    "platform[0].vendor=\n"
                                    "platform[0].version=OpenCL 1.2 fake\n"
                                    "platform[0].device_count=0\n"));
    EXPECT_EQ(run.err, eol(no_usable));
    EXPECT_EQ(run.status, 3);
}

TEST(FakeProbe, FullReportOfOneUsableGpu) {
    const TempDir dir;
    FakePlatform p;
    p.devices.emplace_back();
    const Outcome run = probe(dir, scenario({p}));
    EXPECT_EQ(run.out, eol("Corvane OpenCL probe\n"
                           "platform_count=1\n"
                           "platform[0].name=Fake Platform\n"
                           "platform[0].vendor=Corvane tests\n"
                           "platform[0].version=OpenCL 1.2 fake\n"
                           "platform[0].device_count=1\n"
                           "device[0:0].name=Fake GPU\n"
                           "device[0:0].type=GPU\n"
                           "device[0:0].vendor=Fake Vendor\n"
                           "device[0:0].version=OpenCL 1.2 fake\n"
                           "device[0:0].opencl_c=OpenCL C 1.2 fake\n"
                           "device[0:0].compiler=true\n"
                           "device[0:0].compute_units=8\n"
                           "device[0:0].max_work_group=256\n"
                           "device[0:0].global_mem=1073741824\n"
                           "device[0:0].max_alloc=268435456\n"
                           "device[0:0].local_mem=32768\n"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(FakeProbe, UsableDeviceOnlyOnALaterPlatformStillListsEverything) {
    const TempDir dir;
    FakeDevice old_gpu;
    old_gpu.name = "Old GPU";
    old_gpu.opencl_c = "OpenCL C 1.1";
    FakeDevice cpu;
    cpu.type = "2";
    cpu.name = "Fake CPU";
    FakePlatform first;
    first.name = "First";
    first.devices = {old_gpu};
    FakePlatform second;
    second.name = "Second";
    second.devices = {old_gpu, cpu};
    const Outcome run = probe(dir, scenario({first, second}));
    EXPECT_EQ(run.out, eol(banner + "platform_count=2\n" +
                           "platform[0].name=First\nplatform[0].vendor=Corvane tests\n"
                           "platform[0].version=OpenCL 1.2 fake\nplatform[0].device_count=1\n" +
                           device_lines("0:0", old_gpu, "GPU", "true") +
                           "platform[1].name=Second\nplatform[1].vendor=Corvane tests\n"
                           "platform[1].version=OpenCL 1.2 fake\nplatform[1].device_count=2\n" +
                           device_lines("1:0", old_gpu, "GPU", "true") + device_lines("1:1", cpu, "CPU", "true")));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

// A lone device that some fault makes unusable: the report still shows it,
// the verdict is 3.
struct UnusableCase {
    const char* what;
    std::string opencl_c;
    std::string compiler;
    std::string extra;
    std::string shown_opencl_c;
    std::string shown_compiler;
};

void PrintTo(const UnusableCase& c, std::ostream* os) {
    *os << c.what;
}

class FakeProbeUnusable : public testing::TestWithParam<UnusableCase> {};

TEST_P(FakeProbeUnusable, IsListedButDoesNotPass) {
    const UnusableCase& c = GetParam();
    const TempDir dir;
    FakeDevice d;
    d.opencl_c = c.opencl_c;
    d.compiler = c.compiler;
    d.extra = c.extra;
    FakePlatform p;
    p.devices = {d};
    const Outcome run = probe(dir, scenario({p}));
    FakeDevice shown = d;
    shown.opencl_c = c.shown_opencl_c;
    EXPECT_EQ(run.out, eol(banner +
                           "platform_count=1\nplatform[0].name=Fake Platform\n"
                           "platform[0].vendor=Corvane tests\nplatform[0].version=OpenCL 1.2 fake\n"
                           "platform[0].device_count=1\n" +
                           device_lines("0:0", shown, "GPU", c.shown_compiler)));
    EXPECT_EQ(run.err, eol(no_usable));
    EXPECT_EQ(run.status, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, FakeProbeUnusable,
    testing::Values(UnusableCase{"OpenCL C 1.1", "OpenCL C 1.1", "1", "", "OpenCL C 1.1", "true"},
                    UnusableCase{"no compiler", "OpenCL C 1.2", "0", "", "OpenCL C 1.2", "false"},
                    UnusableCase{"cl_bool 2", "OpenCL C 2.0", "2", "", "OpenCL C 2.0", "false"},
                    UnusableCase{"compiler query fails", "OpenCL C 1.2", "1", "compiler.mode fail\n", "OpenCL C 1.2",
                                 "false"},
                    UnusableCase{"version query fails", "OpenCL C 1.2", "1", "opencl_c.mode fail_size\n", "", "true"},
                    UnusableCase{"marker without blank", "OpenCL C2.0", "1", "", "OpenCL C2.0", "true"}),
    [](const testing::TestParamInfo<UnusableCase>& test_info) {
        std::string name = test_info.param.what;
        for (char& ch : name) {
            if (!isalnum(static_cast<unsigned char>(ch))) {
                ch = '_';
            }
        }
        return name;
    });

// How a device name the runtime hands over oddly ends up in the report. The
// string procedure itself is pinned by the unit tests and the fuzzer; these
// rows show that the report prints the bytes as read, that device strings
// trust the size call's status, and that the shipped binary (Corvane.exe under
// Wine too) survives a size no string can hold.
struct StringCase {
    const char* what;
    std::string directives;  // scenario lines for the device's name
    std::string shown;
};

void PrintTo(const StringCase& c, std::ostream* os) {
    *os << c.what;
}

class FakeProbeStrings : public testing::TestWithParam<StringCase> {};

TEST_P(FakeProbeStrings, NameIsShownAsRead) {
    const StringCase& c = GetParam();
    const TempDir dir;
    FakeDevice d;
    d.extra = c.directives;
    FakePlatform p;
    p.devices = {d};
    const Outcome run = probe(dir, scenario({p}));
    const std::string line = "device[0:0].name=" + c.shown + "\ndevice[0:0].type=GPU\n";
    EXPECT_NE(run.out.find(eol(line)), std::string::npos) << run.out;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, FakeProbeStrings,
    testing::Values(StringCase{"bytes_unescaped_untrimmed", "name \\xff\\x01\\0\"q\"\\\\ \n",
                               std::string("\xff\x01\0\"q\"\\ ", 8)},
                    StringCase{"size_query_fails_after_writing_a_size", "name.mode fail_size_with_size\n", ""},
                    StringCase{"size_beyond_any_string", "name.mode huge\n", ""},
                    StringCase{"size_no_allocation_can_hold", "name.size 1125899906842624\n", ""}),
    [](const testing::TestParamInfo<StringCase>& test_info) { return std::string(test_info.param.what); });

// Platform strings too trust the size call's status.
TEST(FakeProbe, PlatformNameWhoseSizeCallFailsIsEmpty) {
    const TempDir dir;
    FakePlatform p;
    p.extra = "name.mode fail_size_with_size\n";
    const Outcome run = probe(dir, scenario({p}));
    EXPECT_EQ(run.out, eol(banner + "platform_count=1\nplatform[0].name=\nplatform[0].vendor=Corvane tests\n"
                                    "platform[0].version=OpenCL 1.2 fake\nplatform[0].device_count=0\n"));
    EXPECT_EQ(run.status, 3);
}

TEST(FakeProbe, NumbersUseTheirFullWidth) {
    const TempDir dir;
    FakeDevice d;
    d.compute_units = "4294967295";
    d.max_work_group = "18446744073709551615";
    d.global_mem = "18446744073709551615";
    d.max_alloc = "9223372036854775808";
    d.local_mem = "0";
    FakePlatform p;
    p.devices = {d};
    const Outcome run = probe(dir, scenario({p}));
    EXPECT_NE(run.out.find(eol(device_lines("0:0", d, "GPU", "true"))), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 0);
}

TEST(FakeProbe, FailedOrUnwrittenScalarQueriesShowZero) {
    const TempDir dir;
    FakeDevice d;
    d.extra =
        "compute_units.mode fail\nmax_work_group.mode fail\nglobal_mem.mode fail\n"
        "max_alloc.mode fail\nlocal_mem.mode silent\n";
    FakePlatform p;
    p.devices = {d};
    const Outcome run = probe(dir, scenario({p}));
    FakeDevice shown = d;
    shown.compute_units = shown.max_work_group = shown.global_mem = shown.max_alloc = shown.local_mem = "0";
    EXPECT_NE(run.out.find(eol(device_lines("0:0", shown, "GPU", "true"))), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 0);
}

// A platform whose device listing fails, or whose count call leaves the count
// unwritten, counts as having none; the probe goes on.
class FakeProbeListFailure : public testing::TestWithParam<std::string> {};

TEST_P(FakeProbeListFailure, PlatformShowsNoDevicesAndTheNextIsStillRead) {
    const TempDir dir;
    FakePlatform broken;
    broken.name = "Broken";
    broken.devices = {FakeDevice{}};
    broken.extra = "list_fail 0xFFFFFFFF " + GetParam() + "\n";
    FakePlatform good;
    good.name = "Good";
    good.devices = {FakeDevice{}};
    const Outcome run = probe(dir, scenario({broken, good}));
    EXPECT_NE(run.out.find(eol("platform[0].name=Broken\nplatform[0].vendor=Corvane tests\n"
                               "platform[0].version=OpenCL 1.2 fake\nplatform[0].device_count=0\n"
                               "platform[1].name=Good\n")),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(eol("platform[1].device_count=1\ndevice[1:0].name=Fake GPU\n")), std::string::npos);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(Phases, FakeProbeListFailure, testing::Values("count -5", "data -5", "count 0"));

TEST(FakeProbe, AsksEachAttributeWithItsExactSize) {
    const TempDir dir;
    FakePlatform p;
    p.devices = {FakeDevice{}};
    ASSERT_EQ(probe(dir, scenario({p})).status, 0);
    const std::vector<std::string> expected = {
        "clGetDeviceInfo device#0 param=0x1000 size=8 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x102b size=0 value=null size_ret=set",
        "clGetDeviceInfo device#0 param=0x102b size=9 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x102c size=0 value=null size_ret=set",
        "clGetDeviceInfo device#0 param=0x102c size=12 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x102f size=0 value=null size_ret=set",
        "clGetDeviceInfo device#0 param=0x102f size=16 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x103d size=0 value=null size_ret=set",
        "clGetDeviceInfo device#0 param=0x103d size=18 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x1002 size=4 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x1004 size=8 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x101f size=8 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x1010 size=8 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x1023 size=8 value=set size_ret=null",
        "clGetDeviceInfo device#0 param=0x1028 size=4 value=set size_ret=null",
    };
    EXPECT_EQ(calls(dir, "clGetDeviceInfo"), expected);
    EXPECT_EQ(calls(dir, "clGetDeviceIDs"),
              (std::vector<std::string>{
                  "clGetDeviceIDs platform#0 type=0xffffffff num_entries=0 devices=null num_devices=set",
                  "clGetDeviceIDs platform#0 type=0xffffffff num_entries=1 devices=set num_devices=null"}));
}

}  // namespace
}  // namespace e2e
