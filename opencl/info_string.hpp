// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>

#include "opencl/cl.hpp"

// The two-call procedure shared by every OpenCL string query: ask for the size,
// then for that many bytes. `query(size, value, size_ret)` forwards to one
// clGet*Info call with its handle and parameter bound.
//
// When `check_size_status` is false the status of the size call is ignored and
// only a reported size of 0 gives the empty string (the build log is read that
// way). A failed data call always gives the empty string.
//
// A runtime may report a size that no string can hold; that is treated like a
// failed query rather than allowed to end the process.
template <typename Query>
std::string read_info_string(Query query, bool check_size_status) {
    size_t size = 0;
    const cl_int size_status = query(0, nullptr, &size);
    if ((check_size_status && size_status != CL_SUCCESS) || size == 0) {
        return {};
    }
    std::string text;
    try {
        text.assign(size, '\0');
    } catch (const std::bad_alloc&) {
        return {};
    } catch (const std::length_error&) {
        return {};
    }
    if (query(size, text.data(), nullptr) != CL_SUCCESS) {
        return {};
    }
    // A runtime counts the terminating NUL in the size, or may omit it; only
    // one is removed, whatever else the text holds.
    if (text.back() == '\0') {
        text.pop_back();
    }
    return text;
}
