// SPDX-License-Identifier: Apache-2.0
// The end-to-end test program. Beside GoogleTest's own flags it takes
//   --binary=PATH     the tool under test (required)
//   --fake-icd=PATH   the scripted driver library (required)
//   --launcher=PROG   run the tool through PROG
//   --crlf            the tool ends its lines in CR LF

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness.hpp"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    e2e::Config& config = e2e::config();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&arg](const char* flag) { return arg.substr(std::string(flag).size()); };
        if (arg.rfind("--binary=", 0) == 0) {
            config.binary = value("--binary=");
        } else if (arg.rfind("--fake-icd=", 0) == 0) {
            config.fake_icd = value("--fake-icd=");
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
    if (!listing && (config.binary.empty() || config.fake_icd.empty())) {
        std::fprintf(stderr, "usage: %s --binary=PATH --fake-icd=PATH [--launcher=PROG] [--crlf]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
