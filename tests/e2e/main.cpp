// SPDX-License-Identifier: Apache-2.0
// The end-to-end test program. Beside GoogleTest's own flags it takes
//   --binary=PATH        the tool under test (required)
//   --fake-vendors=DIR   a loader vendor directory holding one .icd file that
//                        names the scripted driver (required)
//   --launcher=PROG      run the tool through PROG
//   --crlf               the tool ends its lines in CR LF

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness.hpp"

namespace {

// A suite that runs the tool on the scripted driver is named Fake..., one on
// this machine's real drivers Real... (a parameterised suite's instantiation
// prefix aside). The memcheck run picks the scripted-driver cases by that name
// alone, so a suite named otherwise stops the program here, and with it the
// build, whose test discovery lists the cases, rather than go unchecked there.
bool suites_are_named_by_their_driver() {
    bool named = true;
    const testing::UnitTest& tests = *testing::UnitTest::GetInstance();
    for (int i = 0; i < tests.total_test_suite_count(); ++i) {
        const std::string full = tests.GetTestSuite(i)->name();
        const std::string name = full.substr(full.rfind('/') + 1);
        if (name.rfind("Fake", 0) != 0 && name.rfind("Real", 0) != 0) {
            std::fprintf(stderr, "test suite %s: name it Fake... (scripted driver) or Real... (real drivers)\n",
                         full.c_str());
            named = false;
        }
    }
    return named;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!suites_are_named_by_their_driver()) {
        return 2;
    }
    e2e::Config& config = e2e::config();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&arg](const char* flag) { return arg.substr(std::string(flag).size()); };
        if (arg.rfind("--binary=", 0) == 0) {
            config.binary = value("--binary=");
        } else if (arg.rfind("--fake-vendors=", 0) == 0) {
            config.fake_vendors = value("--fake-vendors=");
        } else if (arg.rfind("--launcher=", 0) == 0) {
            config.launcher = value("--launcher=");
        } else if (arg == "--crlf") {
            config.crlf = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    const bool listing = testing::GTEST_FLAG(list_tests);
    if (!listing && (config.binary.empty() || config.fake_vendors.empty())) {
        std::fprintf(stderr, "usage: %s --binary=PATH --fake-vendors=DIR [--launcher=PROG] [--crlf]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
