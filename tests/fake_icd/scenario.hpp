// SPDX-License-Identifier: Apache-2.0
#pragma once

// The scenario file that scripts the fake OpenCL driver.
//
// One directive a line: a key, one blank, and the rest of the line as value
// (escapes \\ \0 \n \r \t \xHH; nothing else is trimmed). Blank lines and lines
// starting with '#' are skipped.
//
//   platform                 starts a platform; its keys follow
//   device                   starts a device of the current platform
//   <string key> TEXT        platform: name vendor version;
//                            device: name vendor version opencl_c; global: build_log
//                            (answered with one NUL after it, counted in the size)
//   <string key>.mode M      fail_size (both calls fail, writing nothing),
//                            fail_size_with_size (the size query writes the size
//                            yet fails; the data query succeeds), huge (the size
//                            reported is SIZE_MAX)
//   <string key>.size N      the size query reports N instead
//   <scalar key> N           device: type compute_units max_work_group global_mem
//                            max_alloc local_mem compiler; global: profiling_start
//                            profiling_end
//   <scalar key>.mode M      fail (the query writes the value yet fails with
//                            CL_INVALID_VALUE), silent (the query succeeds but
//                            writes nothing)
//   list_fail TYPE count|data STATUS
//                            platform: clGetDeviceIDs for exactly TYPE answers
//                            STATUS; a failing count call still writes the
//                            count, a STATUS of 0 writes nothing
//   fail FUNCTION STATUS [N] the Nth call (default 1st) of FUNCTION fails
//   wrong INDEX VALUE        the kernel writes VALUE at INDEX
//   refuse_local_size STATUS a launch that gives a local size fails
//   hang FUNCTION [ignore_term] [escape] [unkillable=CGROUP]
//                            every call of FUNCTION (clGetDeviceIDs or a
//                            self-test call) sleeps for ever; first, with
//                            ignore_term, SIGTERM is ignored, so only SIGKILL
//                            ends it; with escape, a child is forked into a
//                            session of its own, where it keeps the standard
//                            output and error open for 300 s (a driver's
//                            helper process; the call log gets "escape PID");
//                            with unkillable, the process moves into the
//                            cgroup-v1 freezer group CGROUP (a folder under
//                            /sys/fs/cgroup/freezer) and freezes it, so that
//                            not even SIGKILL ends it until the group is
//                            thawed, as a process stuck in the kernel
//   crash FUNCTION [kill]    every call of FUNCTION aborts the process; with
//                            kill it sends itself SIGKILL instead, as the
//                            out-of-memory killer would

#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include <CL/cl.h>

namespace fake {

enum class AttrMode { normal, fail_size, fail_size_with_size };

struct StringAttr {
    std::string value;
    AttrMode mode = AttrMode::normal;
    std::optional<size_t> reported_size;
};

struct ScalarAttr {
    std::uint64_t value = 0;
    bool fail = false;
    bool silent = false;
};

struct Platform;

struct Device {
    const Platform* platform = nullptr;
    ScalarAttr type;
    StringAttr name;
    StringAttr vendor;
    StringAttr version;
    StringAttr opencl_c;
    ScalarAttr compute_units;
    ScalarAttr max_work_group;
    ScalarAttr global_mem;
    ScalarAttr max_alloc;
    ScalarAttr local_mem;
    ScalarAttr compiler;
};

struct ListFailure {
    cl_device_type type = 0;
    bool on_data = false;
    cl_int status = CL_INVALID_VALUE;
};

struct Platform {
    StringAttr name;
    StringAttr vendor;
    StringAttr version;
    std::list<Device> devices;  // stable addresses: devices point back at their platform
    std::vector<ListFailure> list_failures;
};

struct Failure {
    std::string function;
    cl_int status = 0;
    int nth = 1;
};

// A call that never returns or ends the process, for the programs that run
// the tool under a time limit.
struct Misbehaviour {
    std::string function;
    enum class Kind { hang, crash, crash_killed } kind = Kind::hang;
    bool ignore_term = false;
    bool escape = false;
    std::string freezer;  // the cgroup to freeze itself in, or empty
};

struct WrongValue {
    size_t index = 0;
    std::uint32_t value = 0;
};

struct Scenario {
    std::list<Platform> platforms;
    StringAttr build_log;
    ScalarAttr profiling_start{1000, false, false};
    ScalarAttr profiling_end{2000, false, false};
    cl_int refuse_local_size = CL_SUCCESS;
    std::vector<Failure> failures;
    std::vector<WrongValue> wrong_values;
    std::vector<Misbehaviour> misbehaviours;
};

// Reads the scenario at `path`; an empty path gives a scenario without
// platforms. A malformed file aborts the process with a message on stderr:
// a test with a broken script must not pass by accident.
Scenario load_scenario(const std::string& path);

// Bytes as the call log shows them: printable ASCII as is, the rest escaped.
std::string escape(const std::string& bytes);

}  // namespace fake
