// SPDX-License-Identifier: Apache-2.0
// Drives read_info_string, the two-call procedure behind every OpenCL string
// query, through a scripted query whose answers come from the fuzz input, and
// checks every call it makes and the string it returns.
//
// Input layout (every byte string is valid; seeds are readable text):
//   byte 0   flags: bit 0 set = check the size call's status,
//                   bit 1 set = the size call writes the size ('0'..'3')
//   byte 1   status of the size call, as the byte's value minus '0'
//   byte 2   status of the data call, likewise ('0' is CL_SUCCESS, '/' is -1)
//   then     the size as decimal digits (saturating at SIZE_MAX), then one
//            separator byte, which is skipped
//   rest     the bytes the data call writes from the start of the buffer,
//            cut to the size; the buffer keeps whatever the procedure put in
//            the remaining bytes
//
// A size above 1 MiB and below 2^47 gets bit 47 set, so every size is either
// small enough to read in full or too large for any string: at or above 2^47
// bytes no x86-64 process can allocate it, and past max_size() no
// std::string can hold it. The absurd sizes still reach std::string, which
// must fail with length_error or bad_alloc; the procedure must turn either
// into an empty string. (tests/fuzz/throwing_new.cpp explains why this target
// replaces operator new.)

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "opencl/info_string.hpp"

// A failed allocation must come back as a null pointer, not end the process:
// ASan aborts on the absurd sizes by default.
extern "C" const char* __asan_default_options() {  // NOLINT(bugprone-reserved-identifier): ASan looks it up
    return "allocator_may_return_null=1";
}

namespace {

constexpr size_t kReadableLimit = size_t{1} << 20;
constexpr size_t kUnallocatable = size_t{1} << 47;

struct Script {
    bool check_size_status = false;
    bool write_size = false;
    cl_int size_status = CL_SUCCESS;
    cl_int data_status = CL_SUCCESS;
    size_t size = 0;
    std::string payload;
};

cl_int status_from(std::uint8_t byte) {
    return static_cast<cl_int>(byte) - '0';
}

Script decode(const std::uint8_t* data, size_t length) {
    Script script;
    size_t i = 0;
    const auto next = [&]() -> std::uint8_t { return i < length ? data[i++] : '0'; };
    const std::uint8_t flags = next();
    script.check_size_status = (flags & 1U) != 0;
    script.write_size = (flags & 2U) != 0;
    script.size_status = status_from(next());
    script.data_status = status_from(next());
    while (i < length && data[i] >= '0' && data[i] <= '9') {
        const size_t digit = data[i] - size_t{'0'};
        script.size = script.size > (SIZE_MAX - digit) / 10 ? SIZE_MAX : script.size * 10 + digit;
        ++i;
    }
    ++i;  // the separator
    if (script.size > kReadableLimit && script.size < kUnallocatable) {
        script.size |= kUnallocatable;
    }
    if (i < length) {
        script.payload.assign(reinterpret_cast<const char*>(data + i), length - i);
    }
    if (script.payload.size() > script.size) {
        script.payload.resize(script.size);
    }
    return script;
}

[[noreturn]] void fail(const Script& script, const char* what) {
    std::fprintf(stderr,
                 "string procedure: %s (check_size_status=%d write_size=%d size_status=%d data_status=%d size=%zu "
                 "payload=%zu bytes)\n",
                 what, script.check_size_status ? 1 : 0, script.write_size ? 1 : 0, script.size_status,
                 script.data_status, script.size, script.payload.size());
    std::abort();
}

// What the procedure must return for `script`, and how many calls it makes.
struct Expected {
    std::string text;
    int calls = 0;
};

Expected expect(const Script& script) {
    const size_t reported = script.write_size ? script.size : 0;
    if ((script.check_size_status && script.size_status != CL_SUCCESS) || reported == 0 || reported >= kUnallocatable) {
        return {"", 1};
    }
    if (script.data_status != CL_SUCCESS) {
        return {"", 2};
    }
    std::string text = script.payload;
    text.append(reported - text.size(), '\0');
    if (text.back() == '\0') {
        text.pop_back();
    }
    return {text, 2};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const Script script = decode(data, size);
    int calls = 0;
    const auto query = [&script, &calls](size_t value_size, void* value, size_t* size_ret) -> cl_int {
        ++calls;
        if (calls == 1) {
            if (value_size != 0 || value != nullptr || size_ret == nullptr) {
                fail(script, "the size call must pass size 0, no buffer and a size out-parameter");
            }
            if (*size_ret != 0) {
                fail(script, "the size out-parameter must be preset to 0");
            }
            if (script.write_size) {
                *size_ret = script.size;
            }
            return script.size_status;
        }
        if (calls > 2) {
            fail(script, "more than two calls");
        }
        if (value_size != script.size || value == nullptr || size_ret != nullptr) {
            fail(script, "the data call must pass exactly the reported size, a buffer and no size out-parameter");
        }
        auto* const buffer = static_cast<char*>(value);
        for (size_t k = 0; k < value_size; ++k) {
            if (buffer[k] != '\0') {
                fail(script, "the buffer must be all zero bytes before the data call");
            }
        }
        script.payload.copy(buffer, script.payload.size());
        return script.data_status;
    };

    const std::string actual = read_info_string(query, script.check_size_status);
    const Expected expected = expect(script);
    if (calls != expected.calls) {
        fail(script, expected.calls == 1 ? "expected the size call only" : "expected both calls");
    }
    if (actual != expected.text) {
        fail(script, "wrong string");
    }
    return 0;
}
