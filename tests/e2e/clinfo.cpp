// SPDX-License-Identifier: Apache-2.0
#include "clinfo.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace e2e {

std::string Attributes::get(const std::string& key) const {
    for (const auto& [k, v] : values) {
        if (k == key) {
            return v;
        }
    }
    ADD_FAILURE() << "clinfo printed no " << key;
    return "";
}

namespace {

// Splits "KEY   value" as clinfo --raw pads it; the value keeps its bytes.
std::pair<std::string, std::string> key_value(const std::string& text) {
    const size_t start = text.find_first_not_of(' ');
    const size_t key_end = text.find(' ', start);
    if (key_end == std::string::npos) {
        return {text.substr(start), ""};
    }
    const size_t value_start = text.find_first_not_of(' ', key_end);
    return {text.substr(start, key_end - start), value_start == std::string::npos ? "" : text.substr(value_start)};
}

}  // namespace

// clinfo --raw lists the platforms' attributes first, then a section per
// platform that opens with "[SUFFIX/*] CL_PLATFORM_NAME" and holds "[SUFFIX/j]"
// lines for device j.
std::vector<ClinfoPlatform> clinfo(const Env& env) {
    const TempDir dir;
    std::string command = "env -i PATH=/usr/bin:/bin";
    for (const auto& [k, v] : env) {
        command += " '" + k + "=" + v + "'";
    }
    command += " clinfo --raw > " + dir.file("out") + " 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::istringstream in(read_file(dir.file("out")));
    std::vector<ClinfoPlatform> platforms;
    size_t summary_index = 0;
    size_t section = 0;
    bool in_sections = false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("[OCLICD/", 0) == 0) {
            break;
        }
        if (line.rfind("  CL_PLATFORM_", 0) == 0 && !in_sections) {
            const auto kv = key_value(line);
            if (kv.first == "CL_PLATFORM_NAME") {
                platforms.emplace_back();
                summary_index = platforms.size();
            }
            if (summary_index == 0) {
                ADD_FAILURE() << "clinfo printed a platform attribute before the first CL_PLATFORM_NAME: " << line;
                return {};
            }
            platforms[summary_index - 1].attributes.values.push_back(kv);
            continue;
        }
        if (line.empty() || line[0] != '[') {
            continue;
        }
        const size_t slash = line.find('/');
        const size_t close = line.find(']');
        const std::string which = line.substr(slash + 1, close - slash - 1);
        const auto kv = key_value(line.substr(close + 1));
        if (which == "*") {
            if (kv.first == "CL_PLATFORM_NAME") {
                ++section;
                in_sections = true;
            }
            continue;
        }
        if (section == 0 || section > platforms.size()) {
            ADD_FAILURE() << "clinfo printed a device line outside the sections of its " << platforms.size()
                          << " platforms: " << line;
            return {};
        }
        ClinfoPlatform& p = platforms[section - 1];
        const size_t j = std::stoul(which);
        if (p.devices.size() <= j) {
            p.devices.resize(j + 1);
        }
        p.devices[j].values.push_back(kv);
    }
    return platforms;
}

std::string unavailable_driver(const std::vector<std::string>& icds) {
#ifdef CORVANE_RELEASE_WITHOUT_OCLGRIND
    if (std::find(icds.begin(), icds.end(), oclgrind_lib) != icds.end() && !std::filesystem::exists(oclgrind_lib)) {
        return CORVANE_RELEASE_WITHOUT_OCLGRIND " has no oclgrind package (oclgrind), and oclgrind is not installed";
    }
#endif
    static_cast<void>(icds);
    return "";
}

Env real_env(const TempDir& dir, const std::vector<std::string>& icds) {
    const std::string vendors = dir.file("vendors");
    std::filesystem::create_directory(vendors);
    for (size_t n = 0; n < icds.size(); ++n) {
        const std::string& icd = icds[n];
        const bool is_icd = icd.size() > 4 && icd.substr(icd.size() - 4) == ".icd";
        write_file(vendors + "/" + std::to_string(n) + ".icd", is_icd ? read_file(icd) : icd + "\n");
    }
    return {{"OCL_ICD_VENDORS", vendors}, {"POCL_CACHE_DIR", dir.file("pocl-cache")}};
}

}  // namespace e2e
