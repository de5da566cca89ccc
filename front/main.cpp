// SPDX-License-Identifier: Apache-2.0
#include <cstring>
#include <iostream>

#include "probe/probe.hpp"
#include "selftest/selftest.hpp"

namespace {

void print_usage() {
    std::cout << "Corvane: standalone OpenCL client foundation\n"
                 "Usage:\n"
                 "  Corvane.exe --help\n"
                 "  Corvane.exe --probe\n"
                 "  Corvane.exe --self-test\n";
}

}  // namespace

// Only the first argument is looked at; later ones are ignored. Standard error
// is unbuffered and tied to standard output, so an error line reaches a shared
// console before any report line written after it.
int main(int argc, char** argv) {
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
    std::cerr << "unknown argument: " << command << '\n';
    print_usage();
    return 1;
}
