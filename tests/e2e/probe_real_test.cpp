// --probe against the real drivers of this machine, checked value by value
// against what clinfo reads through the same loader set-up.

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "harness.hpp"

namespace e2e {
namespace {

const std::string pocl_icd = "/etc/OpenCL/vendors/pocl.icd";
const std::string oclgrind_lib = "/usr/lib/oclgrind/liboclgrind-rt-icd.so";

struct Attributes {
    std::vector<std::pair<std::string, std::string>> values;
    std::string get(const std::string& key) const {
        for (const auto& [k, v] : values) {
            if (k == key) {
                return v;
            }
        }
        ADD_FAILURE() << "clinfo printed no " << key;
        return "";
    }
};

struct ClinfoPlatform {
    Attributes attributes;
    std::vector<Attributes> devices;
};

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

// clinfo --raw lists the platforms' attributes first, then a section per
// platform that opens with "[SUFFIX/*] CL_PLATFORM_NAME" and holds "[SUFFIX/j]"
// lines for device j.
std::vector<ClinfoPlatform> clinfo(const Env& env) {
    TempDir dir;
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
        ClinfoPlatform& p = platforms.at(section - 1);
        const size_t j = std::stoul(which);
        if (p.devices.size() <= j) {
            p.devices.resize(j + 1);
        }
        p.devices[j].values.push_back(kv);
    }
    return platforms;
}

std::string type_word(const std::string& clinfo_type) {
    for (const char* word : {"GPU", "CPU", "ACCELERATOR"}) {
        if (clinfo_type.find(std::string("CL_DEVICE_TYPE_") + word) != std::string::npos) {
            return word;
        }
    }
    return "OTHER";
}

// The report that the values clinfo read must give.
std::string expected_report(const std::vector<ClinfoPlatform>& platforms) {
    std::string out = "Corvane OpenCL probe\nplatform_count=" + std::to_string(platforms.size()) + "\n";
    for (size_t i = 0; i < platforms.size(); ++i) {
        const Attributes& a = platforms[i].attributes;
        const std::string p = "platform[" + std::to_string(i) + "].";
        out += p + "name=" + a.get("CL_PLATFORM_NAME") + "\n" + p + "vendor=" + a.get("CL_PLATFORM_VENDOR") + "\n" + p +
               "version=" + a.get("CL_PLATFORM_VERSION") + "\n" + p +
               "device_count=" + std::to_string(platforms[i].devices.size()) + "\n";
        for (size_t j = 0; j < platforms[i].devices.size(); ++j) {
            const Attributes& d = platforms[i].devices[j];
            const std::string k = "device[" + std::to_string(i) + ":" + std::to_string(j) + "].";
            out += k + "name=" + d.get("CL_DEVICE_NAME") + "\n" + k + "type=" + type_word(d.get("CL_DEVICE_TYPE")) +
                   "\n" + k + "vendor=" + d.get("CL_DEVICE_VENDOR") + "\n" + k +
                   "version=" + d.get("CL_DEVICE_VERSION") + "\n" + k +
                   "opencl_c=" + d.get("CL_DEVICE_OPENCL_C_VERSION") + "\n" + k +
                   "compiler=" + (d.get("CL_DEVICE_COMPILER_AVAILABLE") == "CL_TRUE" ? "true" : "false") + "\n" + k +
                   "compute_units=" + d.get("CL_DEVICE_MAX_COMPUTE_UNITS") + "\n" + k +
                   "max_work_group=" + d.get("CL_DEVICE_MAX_WORK_GROUP_SIZE") + "\n" + k +
                   "global_mem=" + d.get("CL_DEVICE_GLOBAL_MEM_SIZE") + "\n" + k +
                   "max_alloc=" + d.get("CL_DEVICE_MAX_MEM_ALLOC_SIZE") + "\n" + k +
                   "local_mem=" + d.get("CL_DEVICE_LOCAL_MEM_SIZE") + "\n";
        }
    }
    return out;
}

struct RealCase {
    const char* what;
    std::vector<std::string> icds;  // library paths or .icd files, each as its own .icd entry
    int platforms;                  // how many platforms this set-up must show at least
    int status;
    std::string err;
};

void PrintTo(const RealCase& c, std::ostream* os) {
    *os << c.what;
}

class ProbeReal : public testing::TestWithParam<RealCase> {};

TEST_P(ProbeReal, AgreesWithClinfo) {
    const RealCase& c = GetParam();
    TempDir dir;
    TempDir vendors;
    for (size_t n = 0; n < c.icds.size(); ++n) {
        const std::string& icd = c.icds[n];
        const std::string library =
            icd.size() > 4 && icd.substr(icd.size() - 4) == ".icd" ? read_file(icd) : icd + "\n";
        write_file(vendors.file(std::to_string(n) + ".icd"), library);
    }
    const Env env = {{"OCL_ICD_VENDORS", vendors.path}, {"POCL_CACHE_DIR", dir.file("pocl-cache")}};
    const std::vector<ClinfoPlatform> seen = clinfo(env);
    ASSERT_GE(seen.size(), static_cast<size_t>(c.platforms));
    const Outcome run = run_tool({"--probe"}, env);
    EXPECT_EQ(run.out, eol(expected_report(seen)));
    EXPECT_EQ(run.err, eol(c.err));
    EXPECT_EQ(run.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, ProbeReal,
    testing::Values(RealCase{"pocl", {pocl_icd}, 1, 0, ""}, RealCase{"oclgrind", {oclgrind_lib}, 1, 0, ""},
                    RealCase{"mesa",
                             {"/etc/OpenCL/vendors/mesa.icd", "/etc/OpenCL/vendors/rusticl.icd"},
                             2,
                             3,
                             "no usable OpenCL C 1.2 compiler device found\n"},
                    RealCase{"none", {}, 0, 2, "no OpenCL platforms found\n"},
                    RealCase{
                        "mixture",
                        {"/etc/OpenCL/vendors/mesa.icd", pocl_icd, oclgrind_lib, "/etc/OpenCL/vendors/rusticl.icd"},
                        4,
                        0,
                        ""}),
    [](const testing::TestParamInfo<RealCase>& test_info) { return std::string(test_info.param.what); });

}  // namespace
}  // namespace e2e
