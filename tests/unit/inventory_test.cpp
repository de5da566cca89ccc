// SPDX-License-Identifier: Apache-2.0
// The parts of the inventory that need no runtime: the version rule, the
// usability test and the two-call string procedure.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "opencl/info_string.hpp"
#include "opencl/inventory.hpp"

namespace {

struct VersionCase {
    std::string text;
    bool supported;
};

void PrintTo(const VersionCase& c, std::ostream* os) {
    *os << testing::PrintToString(c.text);
}

class VersionRule : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionRule, Answers) {
    EXPECT_EQ(supports_opencl_c_1_2(GetParam().text), GetParam().supported) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VersionRule,
    testing::Values(
        VersionCase{"OpenCL C 1.2 ", true}, VersionCase{"OpenCL C 2.0", true}, VersionCase{"OpenCL C 3.0 ", true},
        VersionCase{"OpenCL C 1.1", false}, VersionCase{"OpenCL C 1.10", true}, VersionCase{"OpenCL C 1", false},
        VersionCase{"OpenCL C .2", false}, VersionCase{"OpenCL C 1.x", false}, VersionCase{"OpenCL C2.0", false},
        VersionCase{"", false}, VersionCase{"OpenCL C", false}, VersionCase{"OpenCL C ", false},
        VersionCase{"xx OpenCL C 1.2", true}, VersionCase{"OpenCL C 2", false},
        VersionCase{"OpenCL C x OpenCL C 1.2", false}, VersionCase{"OpenCL C  1.2", true},
        VersionCase{"OpenCL C \t\n1.2", true}, VersionCase{"OpenCL C +1.2", true}, VersionCase{"OpenCL C -1.2", false},
        VersionCase{"OpenCL C 0.9", false}, VersionCase{"OpenCL C 1.2.3", true}, VersionCase{"OpenCL C 1. 2", true},
        VersionCase{"OpenCL C 1.-2", false}, VersionCase{"OpenCL C 1 .2", false}, VersionCase{"opencl c 1.2", false},
        VersionCase{"OpenCL C 99999999999999999999.0", true}, VersionCase{"OpenCL C 4294967297.0", true},
        VersionCase{"OpenCL C -4294967297.9", false}, VersionCase{"OpenCL C 1.99999999999999999999", true},
        VersionCase{"OpenCL C 1.4294967298", true}, VersionCase{"OpenCL C 1.-4294967298", false},
        VersionCase{std::string("OpenCL C 1\0.2", 13), false},
        VersionCase{std::string("OpenCL C 1.\0"
                                "2",
                                13),
                    false},
        VersionCase{std::string("\0OpenCL C 1.2", 13), true}, VersionCase{"OpenCL C 1.a", false},
        VersionCase{"OpenCL C 1.08", true}, VersionCase{"OpenCL C -2147483649.0", false}));

TEST(Usable, NeedsCompilerExactlyOneAndVersion) {
    DeviceInfo device;
    device.opencl_c = "OpenCL C 1.2";
    const struct {
        cl_bool compiler;
        bool usable;
    } cases[] = {{0, false}, {1, true}, {2, false}, {0xFFFFFFFFu, false}};
    for (const auto& c : cases) {
        device.compiler = c.compiler;
        EXPECT_EQ(is_usable(device), c.usable) << c.compiler;
    }
    device.compiler = 1;
    device.opencl_c = "OpenCL C 1.1";
    EXPECT_FALSE(is_usable(device));
}

// A scripted answer to the two calls of the string procedure.
struct Answer {
    cl_int size_status = CL_SUCCESS;
    bool write_size = true;
    size_t size = 0;
    cl_int data_status = CL_SUCCESS;
    // A view, not a string: GCC 12 at -O3 takes a std::string member of this
    // nested aggregate for uninitialised once testing::Values copies it.
    std::string_view bytes;
};

struct StringProcedureCase {
    const char* what;
    Answer answer;
    bool check_size_status;
    std::string expected;
};

void PrintTo(const StringProcedureCase& c, std::ostream* os) {
    *os << c.what;
}

class StringProcedure : public testing::TestWithParam<StringProcedureCase> {};

TEST_P(StringProcedure, Reads) {
    const StringProcedureCase& c = GetParam();
    std::vector<size_t> asked;
    const auto query = [&](size_t size, void* value, size_t* size_ret) -> cl_int {
        asked.push_back(size);
        if (value == nullptr) {
            EXPECT_EQ(size, 0U);
            EXPECT_NE(size_ret, nullptr);
            EXPECT_EQ(*size_ret, 0U) << "the size must be preset to 0";
            if (c.answer.write_size) {
                *size_ret = c.answer.size;
            }
            return c.answer.size_status;
        }
        EXPECT_EQ(size_ret, nullptr);
        EXPECT_LE(c.answer.bytes.size(), size);
        std::copy(c.answer.bytes.begin(), c.answer.bytes.end(), static_cast<char*>(value));
        return c.answer.data_status;
    };
    EXPECT_EQ(read_info_string(query, c.check_size_status), c.expected);
    ASSERT_FALSE(asked.empty());
    if (asked.size() == 2) {
        EXPECT_EQ(asked[1], c.answer.size);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, StringProcedure,
    testing::Values(
        StringProcedureCase{
            "nul_counted", {CL_SUCCESS, true, 4, CL_SUCCESS, std::string_view("abc\0", 4)}, true, "abc"},
        StringProcedureCase{"no_nul", {CL_SUCCESS, true, 3, CL_SUCCESS, "abc"}, true, "abc"},
        StringProcedureCase{"two_nuls",
                            {CL_SUCCESS, true, 5, CL_SUCCESS, std::string_view("abc\0\0", 5)},
                            true,
                            std::string("abc\0", 4)},
        StringProcedureCase{"only_nul", {CL_SUCCESS, true, 1, CL_SUCCESS, std::string_view("\0", 1)}, true, ""},
        StringProcedureCase{
            "short_answer_zero_filled", {CL_SUCCESS, true, 6, CL_SUCCESS, "ab"}, true, std::string("ab\0\0\0", 5)},
        StringProcedureCase{"size_fails", {CL_INVALID_VALUE, true, 4, CL_SUCCESS, "abc"}, true, ""},
        StringProcedureCase{"size_fails_unchecked", {CL_INVALID_VALUE, true, 4, CL_SUCCESS, "abc"}, false, "abc"},
        StringProcedureCase{"size_positive_status", {1, true, 4, CL_SUCCESS, "abc"}, true, ""},
        StringProcedureCase{"size_zero", {CL_SUCCESS, true, 0, CL_SUCCESS, ""}, false, ""},
        StringProcedureCase{"size_unwritten", {CL_SUCCESS, false, 99, CL_SUCCESS, ""}, true, ""},
        StringProcedureCase{"data_fails", {CL_SUCCESS, true, 4, CL_OUT_OF_RESOURCES, "abc"}, true, ""},
        StringProcedureCase{"data_fails_unchecked_size", {CL_SUCCESS, true, 4, CL_INVALID_VALUE, "abc"}, false, ""},
        StringProcedureCase{"size_max", {CL_SUCCESS, true, SIZE_MAX, CL_SUCCESS, ""}, true, ""},
        StringProcedureCase{
            "size_no_allocation_can_hold", {CL_SUCCESS, true, size_t{1} << 52, CL_SUCCESS, ""}, false, ""}),
    [](const testing::TestParamInfo<StringProcedureCase>& test_info) { return std::string(test_info.param.what); });

}  // namespace
