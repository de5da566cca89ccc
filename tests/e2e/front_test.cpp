// SPDX-License-Identifier: Apache-2.0
// The command front end, through the shipped binary.

#include <gtest/gtest.h>

#include <csignal>

#include "harness.hpp"

namespace e2e {
namespace {

const std::string usage =
    "Corvane: standalone OpenCL client foundation\n"
    "Usage:\n"
    "  Corvane.exe --help\n"
    "  Corvane.exe --probe\n"
    "  Corvane.exe --self-test\n";

struct FrontCase {
    std::vector<std::string> args;
    std::string err;
    int status;
};

void PrintTo(const FrontCase& c, std::ostream* os) {
    *os << "args:";
    for (const std::string& a : c.args) {
        *os << " '" << a << "'";
    }
}

class FakeFrontEnd : public testing::TestWithParam<FrontCase> {};

TEST_P(FakeFrontEnd, WritesUsageAndStatus) {
    const FrontCase& c = GetParam();
    const TempDir dir;
    const Outcome run = run_tool(c.args, fake_env(dir, ""));
    EXPECT_EQ(run.out, eol(usage));
    EXPECT_EQ(run.err, eol(c.err));
    EXPECT_EQ(run.status, c.status);
    // Usage and unknown arguments never reach OpenCL.
    EXPECT_EQ(read_file(dir.file("calls")), "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, FakeFrontEnd,
                         testing::Values(FrontCase{{}, "", 0}, FrontCase{{"--help"}, "", 0}, FrontCase{{"-h"}, "", 0},
                                         FrontCase{{"--help", "--probe"}, "", 0}, FrontCase{{"-h", "bogus"}, "", 0},
                                         FrontCase{{"-help"}, "unknown argument: -help\n", 1},
                                         FrontCase{{"--HELP"}, "unknown argument: --HELP\n", 1},
                                         FrontCase{{"--probe=1"}, "unknown argument: --probe=1\n", 1},
                                         FrontCase{{"--probe "}, "unknown argument: --probe \n", 1},
                                         FrontCase{{"--selftest"}, "unknown argument: --selftest\n", 1},
                                         FrontCase{{"-"}, "unknown argument: -\n", 1},
                                         FrontCase{{""}, "unknown argument: \n", 1},
                                         FrontCase{{"caf\xc3\xa9\x01"}, "unknown argument: caf\xc3\xa9\x01\n", 1},
                                         FrontCase{{"bogus", "--probe"}, "unknown argument: bogus\n", 1}));

// Standard output that takes no bytes. A run that would have succeeded ends
// with status 6 and one line on standard error instead; a run that failed
// already keeps its status and its own line, and gets no other.
//
// With descriptor 1 closed, the first file the process opens takes that
// number. The tool opens none; the loader and the scripted driver close what
// they read, the driver keeps its call log above descriptor 2 (see open_log)
// and memcheck.sh does the same with valgrind's report, so descriptor 1 is
// still free when the tool writes and each write fails with EBADF. Under
// Wine, Wine opens the working directory first, which takes descriptor 1 and
// becomes the exe's standard output: a directory takes no bytes either. Were a
// writable file to take it, the report would land there and the run would end
// with status 0: the row would fail, not pass.
struct LostCase {
    const char* what;
    std::vector<std::string> args;
    std::string scenario;
    Stdout out;
    std::string err;
    int status;
};

void PrintTo(const LostCase& c, std::ostream* os) {
    *os << c.what;
}

class FakeLostOutput : public testing::TestWithParam<LostCase> {};

TEST_P(FakeLostOutput, SuccessBecomesStatus6) {
    const LostCase& c = GetParam();
    const TempDir dir;
    const Outcome run = run_tool(c.args, fake_env(dir, c.scenario), c.out);
    EXPECT_EQ(run.err, eol(c.err));
    EXPECT_EQ(run.status, c.status);
}

const std::string lost = "cannot write to standard output\n";
const std::string usable = scenario({FakePlatform{"P", "V", "OpenCL 1.2", {FakeDevice{}}, ""}});

INSTANTIATE_TEST_SUITE_P(
    Stdout, FakeLostOutput,
    testing::Values(LostCase{"usage_full", {}, "", Stdout::full, lost, 6},
                    LostCase{"usage_closed", {}, "", Stdout::closed, lost, 6},
                    LostCase{"help_full", {"--help"}, "", Stdout::full, lost, 6},
                    LostCase{"help_closed", {"--help"}, "", Stdout::closed, lost, 6},
                    LostCase{"probe_full", {"--probe"}, usable, Stdout::full, lost, 6},
                    LostCase{"probe_closed", {"--probe"}, usable, Stdout::closed, lost, 6},
                    LostCase{"self_test_full", {"--self-test"}, usable, Stdout::full, lost, 6},
                    LostCase{"self_test_closed", {"--self-test"}, usable, Stdout::closed, lost, 6},
                    // The usage or the report was written, and lost, before the failure.
                    LostCase{"unknown_argument_full", {"bogus"}, "", Stdout::full, "unknown argument: bogus\n", 1},
                    LostCase{"unknown_argument_closed", {"bogus"}, "", Stdout::closed, "unknown argument: bogus\n", 1},
                    LostCase{"probe_no_platform_full", {"--probe"}, "", Stdout::full, "no OpenCL platforms found\n", 2},
                    LostCase{"probe_no_usable_device_full",
                             {"--probe"},
                             scenario({FakePlatform{}}),
                             Stdout::full,
                             "no usable OpenCL C 1.2 compiler device found\n",
                             3}),
    [](const testing::TestParamInfo<LostCase>& test_info) { return std::string(test_info.param.what); });

// A pipe whose reader has gone is left to the platform. On Linux SIGPIPE ends
// the tool, as it ends any program that does not ask otherwise; Windows has no
// such signal, so there (under Wine: the build whose lines end in CR LF) the
// write fails and the run ends like any other whose output was lost.
TEST(FakeLostOutputToPipe, ReaderGoneIsThePlatformsDefault) {
    const TempDir dir;
    const Outcome run = run_tool({"--help"}, fake_env(dir, ""), Stdout::reader_gone);
    if (config().crlf) {
        EXPECT_EQ(run.err, eol(lost));
        EXPECT_EQ(run.status, 6);
    } else {
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 128 + SIGPIPE);
    }
}

TEST(FakeFrontEndDispatch, LaterArgumentsAreIgnored) {
    const TempDir dir;
    const Outcome run = run_tool({"--probe", "extra", "--help"}, fake_env(dir, ""));
    EXPECT_EQ(run.out, eol("Corvane OpenCL probe\nplatform_count=0\n"));
    EXPECT_EQ(run.err, eol("no OpenCL platforms found\n"));
    EXPECT_EQ(run.status, 2);
}

TEST(FakeFrontEndDispatch, OnlyTheFirstCommandRuns) {
    const TempDir dir;
    const Outcome run = run_tool({"--self-test", "--probe"}, fake_env(dir, ""));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, eol("no usable OpenCL C 1.2 compiler device found\n"));
    EXPECT_EQ(run.status, 2);
}

}  // namespace
}  // namespace e2e
