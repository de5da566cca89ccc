// SPDX-License-Identifier: Apache-2.0
#include "scenario.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fake {

namespace {

[[noreturn]] void die(int line_no, const std::string& line, const char* why) {
    std::fprintf(stderr, "fake OpenCL driver: scenario line %d: %s: %s\n", line_no, why, line.c_str());
    std::abort();
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
            case '\\': out += '\\'; break;
            case '0': out += '\0'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'x': {
                if (i + 2 >= text.size()) {
                    return false;
                }
                const int hi = hex_digit(text[i + 1]);
                const int lo = hex_digit(text[i + 2]);
                if (hi < 0 || lo < 0) {
                    return false;
                }
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

bool parse_u64(const std::string& text, std::uint64_t& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoull(text.c_str(), &end, 0);
    return *end == '\0';
}

bool parse_status(const std::string& text, cl_int& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = static_cast<cl_int>(std::strtol(text.c_str(), &end, 10));
    return *end == '\0';
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) {
        out.push_back(w);
    }
    return out;
}

bool set_mode(StringAttr& attr, const std::string& mode) {
    if (mode == "fail_size") {
        attr.mode = AttrMode::fail_size;
    } else if (mode == "fail_size_with_size") {
        attr.mode = AttrMode::fail_size_with_size;
    } else if (mode == "huge") {
        attr.reported_size = SIZE_MAX;
    } else {
        return false;
    }
    return true;
}

StringAttr* string_attr(Scenario& s, Platform* p, Device* d, const std::string& key) {
    if (d != nullptr) {
        if (key == "name") return &d->name;
        if (key == "vendor") return &d->vendor;
        if (key == "version") return &d->version;
        if (key == "opencl_c") return &d->opencl_c;
    } else if (p != nullptr) {
        if (key == "name") return &p->name;
        if (key == "vendor") return &p->vendor;
        if (key == "version") return &p->version;
    }
    if (key == "build_log") return &s.build_log;
    return nullptr;
}

ScalarAttr* scalar_attr(Scenario& s, Device* d, const std::string& key) {
    if (d != nullptr) {
        if (key == "type") return &d->type;
        if (key == "compute_units") return &d->compute_units;
        if (key == "max_work_group") return &d->max_work_group;
        if (key == "global_mem") return &d->global_mem;
        if (key == "max_alloc") return &d->max_alloc;
        if (key == "local_mem") return &d->local_mem;
        if (key == "compiler") return &d->compiler;
    }
    if (key == "profiling_start") return &s.profiling_start;
    if (key == "profiling_end") return &s.profiling_end;
    return nullptr;
}

}  // namespace

Scenario load_scenario(const std::string& path) {
    Scenario s;
    if (path.empty()) {
        return s;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        die(0, path, "cannot open scenario");
    }
    Platform* platform = nullptr;
    Device* device = nullptr;
    std::string line;
    int line_no = 0;
    while (std::getline(in, line)) {
        ++line_no;
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const size_t blank = line.find(' ', start);
        const std::string key = line.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
        const std::string raw = blank == std::string::npos ? std::string() : line.substr(blank + 1);
        std::string value;
        if (!unescape(raw, value)) {
            die(line_no, line, "bad escape");
        }
        const size_t dot = key.find('.');
        const std::string base = key.substr(0, dot);
        const std::string suffix = dot == std::string::npos ? std::string() : key.substr(dot + 1);

        if (key == "platform") {
            s.platforms.emplace_back();
            platform = &s.platforms.back();
            device = nullptr;
        } else if (key == "device") {
            if (platform == nullptr) {
                die(line_no, line, "device outside a platform");
            }
            platform->devices.emplace_back();
            device = &platform->devices.back();
            device->platform = platform;
        } else if (key == "list_fail") {
            const std::vector<std::string> w = words(value);
            ListFailure f;
            std::uint64_t type = 0;
            if (platform == nullptr || w.size() != 3 || !parse_u64(w[0], type) || (w[1] != "count" && w[1] != "data") ||
                !parse_status(w[2], f.status)) {
                die(line_no, line, "want: list_fail TYPE count|data STATUS inside a platform");
            }
            f.type = type;
            f.on_data = w[1] == "data";
            platform->list_failures.push_back(f);
        } else if (key == "fail") {
            const std::vector<std::string> w = words(value);
            Failure f;
            f.function = w.empty() ? "" : w[0];
            std::uint64_t nth = 1;
            if (w.size() < 2 || w.size() > 3 || !parse_status(w[1], f.status) ||
                (w.size() == 3 && !parse_u64(w[2], nth))) {
                die(line_no, line, "want: fail FUNCTION STATUS [N]");
            }
            f.nth = static_cast<int>(nth);
            s.failures.push_back(f);
        } else if (key == "wrong") {
            const std::vector<std::string> w = words(value);
            std::uint64_t index = 0;
            std::uint64_t v = 0;
            if (w.size() != 2 || !parse_u64(w[0], index) || !parse_u64(w[1], v)) {
                die(line_no, line, "want: wrong INDEX VALUE");
            }
            s.wrong_values.push_back({static_cast<size_t>(index), static_cast<std::uint32_t>(v)});
        } else if (key == "hang" || key == "crash") {
            const std::vector<std::string> w = words(value);
            Misbehaviour m;
            m.function = w.empty() ? "" : w[0];
            bool ok = !w.empty();
            if (key == "crash") {
                ok = ok && w.size() <= 2 && (w.size() == 1 || w[1] == "kill");
                m.kind = w.size() == 2 ? Misbehaviour::Kind::crash_killed : Misbehaviour::Kind::crash;
            }
            for (size_t i = 1; key == "hang" && i < w.size(); ++i) {
                const std::string freezer = "unkillable=";
                if (w[i] == "ignore_term") {
                    m.ignore_term = true;
                } else if (w[i] == "escape") {
                    m.escape = true;
                } else if (w[i].compare(0, freezer.size(), freezer) == 0 && w[i].size() > freezer.size()) {
                    m.freezer = w[i].substr(freezer.size());
                } else {
                    ok = false;
                }
            }
            if (!ok) {
                die(line_no, line,
                    "want: hang FUNCTION [ignore_term] [escape] [unkillable=CGROUP] or crash FUNCTION [kill]");
            }
            s.misbehaviours.push_back(m);
        } else if (key == "refuse_local_size") {
            if (!parse_status(value, s.refuse_local_size)) {
                die(line_no, line, "want: refuse_local_size STATUS");
            }
        } else if (StringAttr* attr = string_attr(s, platform, device, base)) {
            std::uint64_t size = 0;
            if (suffix.empty()) {
                attr->value = value;
            } else if (suffix == "mode") {
                if (!set_mode(*attr, value)) {
                    die(line_no, line, "unknown string mode");
                }
            } else if (suffix == "size" && parse_u64(value, size)) {
                attr->reported_size = static_cast<size_t>(size);
            } else {
                die(line_no, line, "unknown string directive");
            }
        } else if (ScalarAttr* scalar = scalar_attr(s, device, base)) {
            if (suffix.empty()) {
                if (!parse_u64(value, scalar->value)) {
                    die(line_no, line, "not a number");
                }
            } else if (suffix == "mode" && value == "fail") {
                scalar->fail = true;
            } else if (suffix == "mode" && value == "silent") {
                scalar->silent = true;
            } else {
                die(line_no, line, "unknown scalar directive");
            }
        } else {
            die(line_no, line, "unknown key");
        }
    }
    return s;
}

std::string escape(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace fake
