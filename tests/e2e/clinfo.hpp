// SPDX-License-Identifier: Apache-2.0
#pragma once

// What clinfo, a real OpenCL client, reads through the same loader set-up as
// the tool: the reference the real-driver tests compare against.

#include <string>
#include <utility>
#include <vector>

#include "harness.hpp"

namespace e2e {

inline const std::string pocl_icd = "/etc/OpenCL/vendors/pocl.icd";
inline const std::string oclgrind_lib = "/usr/lib/oclgrind/liboclgrind-rt-icd.so";
inline const std::string mesa_icd = "/etc/OpenCL/vendors/mesa.icd";
inline const std::string rusticl_icd = "/etc/OpenCL/vendors/rusticl.icd";

struct Attributes {
    std::vector<std::pair<std::string, std::string>> values;
    // The value of `key`; a test failure when clinfo printed none.
    std::string get(const std::string& key) const;
};

struct ClinfoPlatform {
    Attributes attributes;
    std::vector<Attributes> devices;
};

// The platforms and devices clinfo --raw reports under `env`, in its order.
std::vector<ClinfoPlatform> clinfo(const Env& env);

// Why a case on `icds` cannot run here: one of them is a driver that this
// Debian release does not package and that is not installed. Empty when it can.
std::string unavailable_driver(const std::vector<std::string>& icds);

// An environment whose loader sees exactly `icds` (.icd files or driver
// libraries, in that order of creation) and keeps PoCL's cache inside `dir`.
Env real_env(const TempDir& dir, const std::vector<std::string>& icds);

}  // namespace e2e
