// SPDX-License-Identifier: Apache-2.0
// Drives supports_opencl_c_1_2 with arbitrary bytes and compares every answer
// with a second, independent reading of the rule written from its prose:
//
//   The marker is "OpenCL C " (nine bytes, the last a blank). Text shorter than
//   nine bytes: false. Find the first marker; none: false. Read the major
//   number just after it as strtol does in base 10 (C-locale white space
//   skipped, an optional sign, decimal digits, saturating at the signed 32-bit
//   limits); no digits: false. The byte right after the major number must be
//   '.', else false. Read the minor number after the '.' the same way; no
//   digits gives 0. True when major > 1, or major == 1 and minor >= 2.
//
// The model parses digit by digit on the byte string itself, bounded by its
// length; a NUL byte is neither white space, a sign nor a digit, so it ends a
// number exactly where strtol on the NUL-terminated text stops. Any
// disagreement prints the input and aborts, which libFuzzer reports as a crash
// and saves as a reproducer.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "opencl/inventory.hpp"

namespace {

constexpr char kMarker[] = "OpenCL C ";
constexpr size_t kMarkerLength = sizeof kMarker - 1;

// White space as isspace() sees it in the C locale.
bool is_c_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Offset of the first marker in `text`, or text.size() when there is none.
size_t first_marker(const std::string& text) {
    for (size_t at = 0; at + kMarkerLength <= text.size(); ++at) {
        size_t matched = 0;
        while (matched < kMarkerLength && text[at + matched] == kMarker[matched]) {
            ++matched;
        }
        if (matched == kMarkerLength) {
            return at;
        }
    }
    return text.size();
}

struct Number {
    bool has_digits = false;
    std::int32_t value = 0;
    size_t end = 0;  // offset of the first byte after the digits
};

// A base-10 number from offset `at`: white space, one optional sign, digits.
// The magnitude stops growing at 2^31, which is enough to saturate both ways.
Number read_number(const std::string& text, size_t at) {
    constexpr std::int64_t kCap = std::int64_t{1} << 31;
    size_t i = at;
    while (i < text.size() && is_c_space(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    Number number;
    std::int64_t magnitude = 0;
    while (i < text.size() && is_digit(text[i])) {
        number.has_digits = true;
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kCap);
        ++i;
    }
    if (!number.has_digits) {
        return number;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    number.value = value > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(value);
    number.end = i;
    return number;
}

bool model(const std::string& text) {
    if (text.size() < kMarkerLength) {
        return false;
    }
    const size_t at = first_marker(text);
    if (at == text.size()) {
        return false;
    }
    const Number major = read_number(text, at + kMarkerLength);
    if (!major.has_digits || major.end >= text.size() || text[major.end] != '.') {
        return false;
    }
    const Number minor = read_number(text, major.end + 1);
    const std::int32_t minor_value = minor.has_digits ? minor.value : 0;
    return major.value > 1 || (major.value == 1 && minor_value >= 2);
}

void report(const std::string& text, bool actual, bool expected) {
    std::fprintf(stderr, "version rule divergence: supports_opencl_c_1_2 says %s, the model says %s, for %zu bytes:",
                 actual ? "true" : "false", expected ? "true" : "false", text.size());
    for (const char c : text) {
        std::fprintf(stderr, " %02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
    }
    std::fprintf(stderr, "\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool actual = supports_opencl_c_1_2(text);
    const bool expected = model(text);
    if (actual != expected) {
        report(text, actual, expected);
        std::abort();
    }
    return 0;
}
