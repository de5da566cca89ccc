// SPDX-License-Identifier: Apache-2.0
#include "harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace e2e {

namespace {

bool is_controlled(const std::string& entry) {
    static const char* const prefixes[] = {"OCL_ICD_", "CORVANE_FAKE_", "POCL_", "OCLGRIND_"};
    for (const char* prefix : prefixes) {
        if (entry.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

void require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
    }
}

}  // namespace

Config& config() {
    static Config instance;
    return instance;
}

Outcome run_tool(const std::vector<std::string>& args, const Env& env, Stdout out) {
    std::vector<std::string> argv_text;
    if (!config().launcher.empty()) {
        argv_text.push_back(config().launcher);
    }
    argv_text.push_back(config().binary);
    argv_text.insert(argv_text.end(), args.begin(), args.end());

    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        if (!is_controlled(*e)) {
            env_text.emplace_back(*e);
        }
    }
    for (const auto& [name, value] : env) {
        env_text.push_back(name + "=" + value);
    }

    std::vector<char*> argv;
    for (std::string& a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env_text) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    // Both ends of both pipes are closed in the child on exec; dup2 gives the
    // child its own descriptors 1 and 2 without that flag.
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    require(pipe2(err_pipe, O_CLOEXEC) == 0, "pipe");
    if (out == Stdout::pipe || out == Stdout::reader_gone) {
        require(pipe2(out_pipe, O_CLOEXEC) == 0, "pipe");
    }
    if (out == Stdout::reader_gone) {
        close(out_pipe[0]);
        out_pipe[0] = -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    switch (out) {
        case Stdout::pipe:
        case Stdout::reader_gone: posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1); break;
        case Stdout::full: posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0); break;
        case Stdout::closed: posix_spawn_file_actions_addclose(&actions, 1); break;
    }
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    for (const int fd : {out_pipe[1], err_pipe[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (spawned != 0) {
        for (const int fd : {out_pipe[0], err_pipe[0]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        errno = spawned;
        require(false, "posix_spawn");
    }

    Outcome run;
    pollfd fds[2] = {{err_pipe[0], POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.err, &run.out};
    int open_fds = out_pipe[0] >= 0 ? 2 : 1;
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            require(errno == EINTR, "poll");
            continue;
        }
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[k]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open_fds;
            }
        }
    }
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        require(errno == EINTR, "waitpid");
    }
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    return run;
}

std::string eol(const std::string& text) {
    if (!config().crlf) {
        return text;
    }
    std::string out;
    for (const char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvane-test-XXXXXX").string();
    require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
    const std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

// A loader hands the tool a driver's platforms in the driver's order, except
// ocl-icd, which by default puts platforms with a GPU first even within one
// driver; OCL_ICD_PLATFORM_SORT=none keeps its order, which the cases with
// more than one platform rely on. Other loaders ignore the variable.
Env fake_env(const TempDir& dir, const std::string& scenario_text) {
    write_file(dir.file("scenario"), scenario_text);
    return {{"OCL_ICD_VENDORS", config().fake_vendors},
            {"OCL_ICD_PLATFORM_SORT", "none"},
            {"CORVANE_FAKE_SCENARIO", dir.file("scenario")},
            {"CORVANE_FAKE_CALL_LOG", dir.file("calls")}};
}

std::vector<std::string> calls(const TempDir& dir, const std::string& function) {
    std::istringstream log(read_file(dir.file("calls")));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(log, line)) {
        if (function.empty() || line.rfind(function + " ", 0) == 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::string scenario(const std::vector<FakePlatform>& platforms, const std::string& global) {
    std::string text = global;
    for (const FakePlatform& p : platforms) {
        text += "platform\nname " + p.name + "\nvendor " + p.vendor + "\nversion " + p.version + "\n" + p.extra;
        for (const FakeDevice& d : p.devices) {
            text += "device\ntype " + d.type + "\nname " + d.name + "\nvendor " + d.vendor + "\nversion " + d.version +
                    "\nopencl_c " + d.opencl_c + "\ncompute_units " + d.compute_units + "\nmax_work_group " +
                    d.max_work_group + "\nglobal_mem " + d.global_mem + "\nmax_alloc " + d.max_alloc + "\nlocal_mem " +
                    d.local_mem + "\ncompiler " + d.compiler + "\n" + d.extra;
        }
    }
    return text;
}

}  // namespace e2e
