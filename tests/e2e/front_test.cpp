// SPDX-License-Identifier: Apache-2.0
// The command front end, through the shipped binary.

#include <gtest/gtest.h>

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
    TempDir dir;
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

TEST(FakeFrontEndDispatch, LaterArgumentsAreIgnored) {
    TempDir dir;
    const Outcome run = run_tool({"--probe", "extra", "--help"}, fake_env(dir, ""));
    EXPECT_EQ(run.out, eol("Corvane OpenCL probe\nplatform_count=0\n"));
    EXPECT_EQ(run.err, eol("no OpenCL platforms found\n"));
    EXPECT_EQ(run.status, 2);
}

TEST(FakeFrontEndDispatch, OnlyTheFirstCommandRuns) {
    TempDir dir;
    const Outcome run = run_tool({"--self-test", "--probe"}, fake_env(dir, ""));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, eol("no usable OpenCL C 1.2 compiler device found\n"));
    EXPECT_EQ(run.status, 2);
}

}  // namespace
}  // namespace e2e
