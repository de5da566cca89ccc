// SPDX-License-Identifier: Apache-2.0
#pragma once

// Runs the shipped binary as a separate process and captures exactly what it
// writes, for the end-to-end tests. Which binary, through which launcher and
// with which line ending comes from the test program's command line (see
// main.cpp), so the same cases run against every build of the tool.

#include <string>
#include <utility>
#include <vector>

namespace e2e {

using Env = std::vector<std::pair<std::string, std::string>>;

struct Config {
    std::string binary;        // the executable under test
    std::string launcher;      // optional program to run it through (wine for the Windows build)
    bool crlf = false;         // every line the tool writes ends in CR LF
    std::string fake_vendors;  // a vendor directory whose one .icd file names the scripted driver
};

Config& config();

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;  // exit status; 128 + signal when the process was killed
};

// Where the tool's standard output goes: a pipe that the test reads into
// Outcome::out; the full device /dev/full (every write fails with ENOSPC once
// the C library flushes its buffer); nowhere (descriptor 1 closed, so every
// write fails with EBADF); or a pipe whose reader has gone before the tool
// starts. In all but the first, Outcome::out stays empty.
enum class Stdout { pipe, full, closed, reader_gone };

// Runs the tool with `args`. The child's environment is this process's, less
// every OpenCL loader, driver and test variable, plus `env`; it starts with the
// default action for every signal the test program may have set otherwise
// (SIGPIPE), as from a shell.
Outcome run_tool(const std::vector<std::string>& args, const Env& env, Stdout out = Stdout::pipe);

// `text` with each "\n" as the line ending the tool under test writes.
std::string eol(const std::string& text);

// A fresh directory, removed with everything in it when the value goes.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// Environment that serves `scenario` through the scripted driver, platforms in
// scenario order, with the call log in `dir`.
Env fake_env(const TempDir& dir, const std::string& scenario);

// Lines of the call log that start with `function` (a call name); all of
// them when `function` is empty.
std::vector<std::string> calls(const TempDir& dir, const std::string& function);

// A scripted device; the defaults make a usable GPU.
struct FakeDevice {
    std::string type = "4";
    std::string name = "Fake GPU";
    std::string vendor = "Fake Vendor";
    std::string version = "OpenCL 1.2 fake";
    std::string opencl_c = "OpenCL C 1.2 fake";
    std::string compute_units = "8";
    std::string max_work_group = "256";
    std::string global_mem = "1073741824";
    std::string max_alloc = "268435456";
    std::string local_mem = "32768";
    std::string compiler = "1";
    std::string extra;  // further scenario lines, each ending in "\n"
};

struct FakePlatform {
    std::string name = "Fake Platform";
    std::string vendor = "Corvane tests";
    std::string version = "OpenCL 1.2 fake";
    std::vector<FakeDevice> devices;
    std::string extra;
};

std::string scenario(const std::vector<FakePlatform>& platforms, const std::string& global = "");

}  // namespace e2e
