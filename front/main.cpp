// SPDX-License-Identifier: Apache-2.0
#include <cstring>
#include <iostream>

#include "probe/probe.hpp"
#include "selftest/selftest.hpp"

namespace {

constexpr int exit_unknown_argument = 1;
constexpr int exit_output_lost = 6;

void print_usage() {
    std::cout << "Corvane: standalone OpenCL client foundation\n"
                 "Usage:\n"
                 "  Corvane.exe --help\n"
                 "  Corvane.exe --probe\n"
                 "  Corvane.exe --self-test\n";
}

// Runs the command the first argument names and returns its exit status. Only
// the first argument is looked at; later ones are ignored.
int run_command(int argc, char** argv) {
    if (argc <= 1) {
        print_usage();
        return 0;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        print_usage();
        return 0;
    }
    if (std::strcmp(command, "--probe") == 0) {
        return run_probe();
    }
    if (std::strcmp(command, "--self-test") == 0) {
        return run_self_test();
    }
    // Standard error is tied to standard output as the library sets them up,
    // so this line reaches a shared console before the usage lines.
    std::cerr << "unknown argument: " << command << '\n';
    print_usage();
    return exit_unknown_argument;
}

}  // namespace

// The streams keep the library's set-up; standard output is flushed here, once
// the command is done, so that a report lost to a full disk or a closed
// descriptor does not end in a success status. A command that failed already
// keeps its own status and line. Writing to a pipe whose reader has gone is
// left to the platform's default: on Linux its signal ends the process.
int main(int argc, char** argv) {
    const int status = run_command(argc, argv);
    if (!std::cout.flush() && status == 0) {
        std::cerr << "cannot write to standard output\n";
        return exit_output_lost;
    }
    return status;
}
