// SPDX-License-Identifier: Apache-2.0
// A scripted OpenCL driver for the tests. The real OpenCL loader loads it as a
// vendor implementation (the cl_khr_icd way: clIcdGetPlatformIDsKHR and a
// dispatch table as every object's first member), so the tool under test runs
// unchanged through the loader while the test decides what every call answers.
//
// Environment:
//   CORVANE_FAKE_SCENARIO  path of the scenario file (see scenario.hpp)
//   CORVANE_FAKE_CALL_LOG  path of a file to which every call is appended, one line each
//
// The driver answers like a conforming OpenCL 1.2 runtime except where the
// scenario says otherwise: wrong value sizes are refused with CL_INVALID_VALUE,
// handles it did not make (or has released) with the matching CL_INVALID_*
// status, without reading them, and the kernel really computes
// out[i] = in[i] + 1 over the buffers it was given.

#include <CL/cl_icd.h>
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "scenario.hpp"

#if defined(__GNUC__)
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define FAKE_EXPORT extern "C"
#endif

using fake::AttrMode;
using fake::Scenario;
using fake::StringAttr;

struct _cl_platform_id {
    cl_icd_dispatch* dispatch;
    const fake::Platform* script;
};
struct _cl_device_id {
    cl_icd_dispatch* dispatch;
    const fake::Device* script;
};
struct _cl_context {
    static constexpr const char* kind = "context";
    static constexpr cl_int invalid = CL_INVALID_CONTEXT;
    cl_icd_dispatch* dispatch;
    std::string tag;
    cl_device_id device;
};
struct _cl_command_queue {
    static constexpr const char* kind = "queue";
    static constexpr cl_int invalid = CL_INVALID_COMMAND_QUEUE;
    cl_icd_dispatch* dispatch;
    std::string tag;
    bool profiling;
};
struct _cl_mem {
    static constexpr const char* kind = "buffer";
    static constexpr cl_int invalid = CL_INVALID_MEM_OBJECT;
    cl_icd_dispatch* dispatch;
    std::string tag;
    std::vector<unsigned char> bytes;
};
struct _cl_program {
    static constexpr const char* kind = "program";
    static constexpr cl_int invalid = CL_INVALID_PROGRAM;
    cl_icd_dispatch* dispatch;
    std::string tag;
    bool built;
};
struct _cl_kernel {
    static constexpr const char* kind = "kernel";
    static constexpr cl_int invalid = CL_INVALID_KERNEL;
    cl_icd_dispatch* dispatch;
    std::string tag;
    cl_mem args[2] = {nullptr, nullptr};  // none set yet
};
struct _cl_event {
    static constexpr const char* kind = "event";
    static constexpr cl_int invalid = CL_INVALID_EVENT;
    cl_icd_dispatch* dispatch;
    std::string tag;
    bool profiling;
};

namespace {

cl_icd_dispatch g_dispatch{};

struct Driver {
    Scenario scenario;
    std::vector<std::unique_ptr<_cl_platform_id>> platforms;
    std::vector<std::unique_ptr<_cl_device_id>> devices;
    std::FILE* log = nullptr;
    std::map<std::string, int> calls;                   // calls so far, by function name
    std::map<std::string, int> created;                 // objects so far, by kind
    std::map<std::string, std::set<const void*>> live;  // objects made and not yet released, by kind
};

// The tests also run the tool with its standard output closed. The log must
// not take that descriptor, the lowest free one, or the tool's report would be
// written into the log instead of failing.
std::FILE* open_log(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = high;
    }
    return fd >= 0 ? fdopen(fd, "a") : nullptr;
}

Driver& driver() {
    static Driver* instance = [] {
        auto* d = new Driver;
        const char* path = std::getenv("CORVANE_FAKE_SCENARIO");
        d->scenario = fake::load_scenario(path != nullptr ? path : "");
        for (const fake::Platform& p : d->scenario.platforms) {
            d->platforms.push_back(std::make_unique<_cl_platform_id>(_cl_platform_id{&g_dispatch, &p}));
            for (const fake::Device& dev : p.devices) {
                d->devices.push_back(std::make_unique<_cl_device_id>(_cl_device_id{&g_dispatch, &dev}));
            }
        }
        const char* log_path = std::getenv("CORVANE_FAKE_CALL_LOG");
        if (log_path != nullptr && *log_path != '\0') {
            d->log = open_log(log_path);
        }
        return d;
    }();
    return *instance;
}

void log_line(const std::string& line) {
    const Driver& d = driver();
    if (d.log != nullptr) {
        std::fputs(line.c_str(), d.log);
        std::fputc('\n', d.log);
        std::fflush(d.log);
    }
}

// Moves this process into the cgroup-v1 freezer group at `group` and freezes
// the group: the process then stops where it is, and a signal, SIGKILL
// included, takes effect only once the group is thawed. A group that cannot
// be used aborts the process, so that a test cannot pass without it.
void freeze_self(const std::string& group) {
    for (const auto& [file, text] : {std::pair<std::string, std::string>{"/cgroup.procs", std::to_string(getpid())},
                                     {"/freezer.state", "FROZEN"}}) {
        FILE* f = std::fopen((group + file).c_str(), "w");
        if (f == nullptr || std::fputs(text.c_str(), f) < 0 || std::fclose(f) != 0) {
            std::fprintf(stderr, "fake driver: cannot write %s%s\n", group.c_str(), file.c_str());
            std::abort();
        }
    }
}

// Hangs or aborts when the scenario says this function does.
void misbehave(const std::string& function) {
    for (const fake::Misbehaviour& m : driver().scenario.misbehaviours) {
        if (m.function != function) {
            continue;
        }
        if (m.kind == fake::Misbehaviour::Kind::crash) {
            std::abort();
        }
        if (m.kind == fake::Misbehaviour::Kind::crash_killed) {
            std::raise(SIGKILL);
        }
        if (m.ignore_term) {
            std::signal(SIGTERM, SIG_IGN);
        }
        if (m.escape) {
            const pid_t child = fork();
            if (child == 0) {
                setsid();
                alarm(300);  // the default action of SIGALRM ends it
                for (;;) {
                    pause();
                }
            }
            log_line("escape " + std::to_string(child));
        }
        if (!m.freezer.empty()) {
            freeze_self(m.freezer);
        }
        for (;;) {
            pause();
        }
    }
}

// Counts the call and returns the status the scenario scripts for this
// occurrence of it (CL_SUCCESS when none).
cl_int scripted_status(const std::string& function) {
    misbehave(function);
    Driver& d = driver();
    const int nth = ++d.calls[function];
    for (const fake::Failure& f : d.scenario.failures) {
        if (f.function == function && f.nth == nth) {
            return f.status;
        }
    }
    return CL_SUCCESS;
}

// A new object of kind T, known to the driver until it is released.
template <typename T, typename... Fields>
T* make(Fields&&... fields) {
    // Written below; clang-tidy 19 reads the template before its instantiation
    // and takes the map subscripts for reads.
    Driver& d = driver();  // NOLINT(misc-const-correctness)
    T* object = new T{&g_dispatch, std::string(T::kind) + "#" + std::to_string(++d.created[T::kind]),
                      std::forward<Fields>(fields)...};
    d.live[T::kind].insert(object);
    return object;
}

template <typename T>
bool known(const T* object) {
    return object != nullptr && driver().live[T::kind].count(object) != 0;
}

// The object's tag for the call log, read only from an object the driver knows.
template <typename T>
std::string tag(const T* object) {
    if (object == nullptr) {
        return "null";
    }
    return known(object) ? object->tag : std::string("unknown");
}

std::string hex(std::uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

std::string platform_tag(cl_platform_id p) {
    Driver& d = driver();
    for (size_t i = 0; i < d.platforms.size(); ++i) {
        if (d.platforms[i].get() == p) {
            return "platform#" + std::to_string(i);
        }
    }
    return "platform#?";
}

std::string device_tag(cl_device_id dev) {
    Driver& d = driver();
    for (size_t i = 0; i < d.devices.size(); ++i) {
        if (d.devices[i].get() == dev) {
            return "device#" + std::to_string(i);
        }
    }
    return "device#?";
}

bool known_platform(cl_platform_id p) {
    for (const auto& owned : driver().platforms) {
        if (owned.get() == p) {
            return true;
        }
    }
    return false;
}

bool known_device(cl_device_id dev) {
    for (const auto& owned : driver().devices) {
        if (owned.get() == dev) {
            return true;
        }
    }
    return false;
}

template <typename T>
void set_error(cl_int* errcode_ret, T status) {
    if (errcode_ret != nullptr) {
        *errcode_ret = static_cast<cl_int>(status);
    }
}

StringAttr fixed_string(const char* text) {
    StringAttr attr;
    attr.value = text;
    return attr;
}

// Answers a string query as the scenario scripts it.
cl_int answer_string(const StringAttr& attr, size_t size, void* value, size_t* size_ret) {
    const std::string& bytes = attr.value;
    const size_t actual = bytes.size() + 1;  // the terminating NUL
    if (attr.mode == AttrMode::fail_size) {
        return CL_INVALID_VALUE;
    }
    if (value != nullptr) {
        if (size < actual) {
            return CL_INVALID_VALUE;
        }
        std::memcpy(value, bytes.c_str(), actual);
    }
    if (size_ret != nullptr) {
        *size_ret = attr.reported_size.value_or(actual);
    }
    if (attr.mode == AttrMode::fail_size_with_size && value == nullptr) {
        return CL_INVALID_VALUE;
    }
    return CL_SUCCESS;
}

template <typename T>
cl_int answer_scalar(T scalar, size_t size, void* value, size_t* size_ret) {
    if (value != nullptr) {
        if (size < sizeof scalar) {
            return CL_INVALID_VALUE;
        }
        std::memcpy(value, &scalar, sizeof scalar);
    }
    if (size_ret != nullptr) {
        *size_ret = sizeof scalar;
    }
    return CL_SUCCESS;
}

cl_int answer_scalar_attr(const fake::ScalarAttr& attr, size_t width, size_t size, void* value, size_t* size_ret) {
    if (attr.silent) {
        return CL_SUCCESS;
    }
    const cl_int status = width == 4 ? answer_scalar(static_cast<std::uint32_t>(attr.value), size, value, size_ret)
                                     : answer_scalar(attr.value, size, value, size_ret);
    // A failing query has still written the value: what the caller shows must
    // come from the status, not from whether the value was touched.
    return attr.fail ? CL_INVALID_VALUE : status;
}

// ---- Platforms and devices ----

cl_int CL_API_CALL fake_GetPlatformInfo(cl_platform_id platform, cl_platform_info param, size_t size, void* value,
                                        size_t* size_ret) {
    log_line("clGetPlatformInfo " + platform_tag(platform) + " param=" + hex(param) + " size=" + std::to_string(size) +
             (value != nullptr ? " value=set" : " value=null") +
             (size_ret != nullptr ? " size_ret=set" : " size_ret=null"));
    if (!known_platform(platform)) {
        return CL_INVALID_PLATFORM;
    }
    const fake::Platform& p = *platform->script;
    switch (param) {
        case CL_PLATFORM_NAME: return answer_string(p.name, size, value, size_ret);
        case CL_PLATFORM_VENDOR: return answer_string(p.vendor, size, value, size_ret);
        case CL_PLATFORM_VERSION: return answer_string(p.version, size, value, size_ret);
        case CL_PLATFORM_PROFILE: return answer_string(fixed_string("FULL_PROFILE"), size, value, size_ret);
        case CL_PLATFORM_EXTENSIONS: return answer_string(fixed_string("cl_khr_icd"), size, value, size_ret);
        case CL_PLATFORM_ICD_SUFFIX_KHR: return answer_string(fixed_string("FAKE"), size, value, size_ret);
        default: return CL_INVALID_VALUE;
    }
}

cl_int CL_API_CALL fake_GetDeviceIDs(cl_platform_id platform, cl_device_type type, cl_uint num_entries,
                                     cl_device_id* devices, cl_uint* num_devices) {
    log_line("clGetDeviceIDs " + platform_tag(platform) + " type=" + hex(type) +
             " num_entries=" + std::to_string(num_entries) + (devices != nullptr ? " devices=set" : " devices=null") +
             (num_devices != nullptr ? " num_devices=set" : " num_devices=null"));
    misbehave("clGetDeviceIDs");
    if (!known_platform(platform)) {
        return CL_INVALID_PLATFORM;
    }
    if ((devices == nullptr && num_devices == nullptr) || (devices != nullptr && num_entries == 0)) {
        return CL_INVALID_VALUE;
    }
    const fake::Platform& p = *platform->script;
    std::vector<cl_device_id> matching;
    for (const auto& owned : driver().devices) {
        const fake::Device& dev = *owned->script;
        if (dev.platform == &p && (type == CL_DEVICE_TYPE_ALL || (dev.type.value & type) != 0)) {
            matching.push_back(owned.get());
        }
    }
    for (const fake::ListFailure& f : p.list_failures) {
        if (f.type == type && f.on_data == (devices != nullptr)) {
            // A failing count call has still written the count; a succeeding
            // one scripted here writes nothing.
            if (num_devices != nullptr && f.status != CL_SUCCESS) {
                *num_devices = static_cast<cl_uint>(matching.size());
            }
            return f.status;
        }
    }
    if (matching.empty()) {
        return CL_DEVICE_NOT_FOUND;
    }
    if (devices != nullptr) {
        for (cl_uint i = 0; i < num_entries && i < matching.size(); ++i) {
            devices[i] = matching[i];
        }
    }
    if (num_devices != nullptr) {
        *num_devices = static_cast<cl_uint>(matching.size());
    }
    return CL_SUCCESS;
}

cl_int CL_API_CALL fake_GetDeviceInfo(cl_device_id device, cl_device_info param, size_t size, void* value,
                                      size_t* size_ret) {
    log_line("clGetDeviceInfo " + device_tag(device) + " param=" + hex(param) + " size=" + std::to_string(size) +
             (value != nullptr ? " value=set" : " value=null") +
             (size_ret != nullptr ? " size_ret=set" : " size_ret=null"));
    if (!known_device(device)) {
        return CL_INVALID_DEVICE;
    }
    const fake::Device& d = *device->script;
    switch (param) {
        case CL_DEVICE_TYPE: return answer_scalar_attr(d.type, 8, size, value, size_ret);
        case CL_DEVICE_NAME: return answer_string(d.name, size, value, size_ret);
        case CL_DEVICE_VENDOR: return answer_string(d.vendor, size, value, size_ret);
        case CL_DEVICE_VERSION: return answer_string(d.version, size, value, size_ret);
        case CL_DEVICE_OPENCL_C_VERSION: return answer_string(d.opencl_c, size, value, size_ret);
        case CL_DEVICE_MAX_COMPUTE_UNITS: return answer_scalar_attr(d.compute_units, 4, size, value, size_ret);
        case CL_DEVICE_MAX_WORK_GROUP_SIZE: return answer_scalar_attr(d.max_work_group, 8, size, value, size_ret);
        case CL_DEVICE_GLOBAL_MEM_SIZE: return answer_scalar_attr(d.global_mem, 8, size, value, size_ret);
        case CL_DEVICE_MAX_MEM_ALLOC_SIZE: return answer_scalar_attr(d.max_alloc, 8, size, value, size_ret);
        case CL_DEVICE_LOCAL_MEM_SIZE: return answer_scalar_attr(d.local_mem, 8, size, value, size_ret);
        case CL_DEVICE_COMPILER_AVAILABLE: return answer_scalar_attr(d.compiler, 4, size, value, size_ret);
        case CL_DEVICE_AVAILABLE: return answer_scalar(static_cast<cl_bool>(CL_TRUE), size, value, size_ret);
        case CL_DEVICE_PLATFORM: {
            const Driver& drv = driver();
            for (const auto& owned : drv.platforms) {
                if (owned->script == d.platform) {
                    return answer_scalar(owned.get(), size, value, size_ret);
                }
            }
            return CL_INVALID_DEVICE;
        }
        default: return CL_INVALID_VALUE;
    }
}

// ---- Contexts, queues, buffers ----

cl_context CL_API_CALL fake_CreateContext(const cl_context_properties* properties, cl_uint num_devices,
                                          const cl_device_id* devices,
                                          void(CL_CALLBACK* notify)(const char*, const void*, size_t, void*),
                                          void* user_data, cl_int* errcode_ret) {
    std::string line = "clCreateContext properties=" + std::string(properties != nullptr ? "set" : "null") +
                       " num_devices=" + std::to_string(num_devices);
    for (cl_uint i = 0; devices != nullptr && i < num_devices; ++i) {
        line += " " + device_tag(devices[i]);
    }
    line += std::string(" notify=") + (notify != nullptr ? "set" : "null") +
            " user_data=" + (user_data != nullptr ? "set" : "null");
    const cl_int status = scripted_status("clCreateContext");
    if (status != CL_SUCCESS) {
        log_line(line + " -> " + std::to_string(status));
        set_error(errcode_ret, status);
        return nullptr;
    }
    if (num_devices != 1 || devices == nullptr || !known_device(devices[0])) {
        log_line(line + " -> invalid");
        set_error(errcode_ret, CL_INVALID_DEVICE);
        return nullptr;
    }
    auto* context = make<_cl_context>(devices[0]);
    log_line(line + " -> " + context->tag);
    set_error(errcode_ret, CL_SUCCESS);
    return context;
}

cl_command_queue CL_API_CALL fake_CreateCommandQueue(cl_context context, cl_device_id device,
                                                     cl_command_queue_properties properties, cl_int* errcode_ret) {
    const std::string line =
        "clCreateCommandQueue " + tag(context) + " " + device_tag(device) + " properties=" + hex(properties);
    const cl_int status = scripted_status("clCreateCommandQueue");
    if (status != CL_SUCCESS) {
        log_line(line + " -> " + std::to_string(status));
        set_error(errcode_ret, status);
        return nullptr;
    }
    if (!known(context) || context->device != device) {
        log_line(line + " -> invalid");
        set_error(errcode_ret, !known(context) ? CL_INVALID_CONTEXT : CL_INVALID_DEVICE);
        return nullptr;
    }
    auto* queue = make<_cl_command_queue>((properties & CL_QUEUE_PROFILING_ENABLE) != 0);
    log_line(line + " -> " + queue->tag);
    set_error(errcode_ret, CL_SUCCESS);
    return queue;
}

cl_mem CL_API_CALL fake_CreateBuffer(cl_context context, cl_mem_flags flags, size_t size, void* host_ptr,
                                     cl_int* errcode_ret) {
    std::string line = "clCreateBuffer " + tag(context) + " flags=" + hex(flags) + " size=" + std::to_string(size) +
                       " host_ptr=" + (host_ptr != nullptr ? "set" : "null");
    if (host_ptr != nullptr && size % 4 == 0 && size >= 16) {
        // The first and last values the host handed over, and the sum of all,
        // so a test can see what it sent.
        const auto* bytes = static_cast<const unsigned char*>(host_ptr);
        const auto value = [bytes](size_t i) {
            std::uint32_t v = 0;
            std::memcpy(&v, bytes + 4 * i, 4);
            return v;
        };
        std::uint64_t sum = 0;
        for (size_t i = 0; i < size / 4; ++i) {
            sum += value(i);
        }
        line += " first=" + std::to_string(value(0)) + "," + std::to_string(value(1)) + "," + std::to_string(value(2)) +
                " last=" + std::to_string(value(size / 4 - 1)) + " sum=" + std::to_string(sum);
    }
    const cl_int status = scripted_status("clCreateBuffer");
    if (status != CL_SUCCESS) {
        log_line(line + " -> " + std::to_string(status));
        set_error(errcode_ret, status);
        return nullptr;
    }
    const bool copy = (flags & CL_MEM_COPY_HOST_PTR) != 0;
    if (!known(context) || size == 0 || copy != (host_ptr != nullptr)) {
        log_line(line + " -> invalid");
        set_error(errcode_ret, !known(context) ? CL_INVALID_CONTEXT : CL_INVALID_VALUE);
        return nullptr;
    }
    auto* mem = make<_cl_mem>(std::vector<unsigned char>(size, 0xAB));
    if (copy) {
        std::memcpy(mem->bytes.data(), host_ptr, size);
    }
    log_line(line + " -> " + mem->tag);
    set_error(errcode_ret, CL_SUCCESS);
    return mem;
}

// ---- Programs and kernels ----

cl_program CL_API_CALL fake_CreateProgramWithSource(cl_context context, cl_uint count, const char** strings,
                                                    const size_t* lengths, cl_int* errcode_ret) {
    std::string source;
    for (cl_uint i = 0; strings != nullptr && i < count; ++i) {
        const size_t length = (lengths != nullptr && lengths[i] != 0) ? lengths[i] : std::strlen(strings[i]);
        source.append(strings[i], length);
    }
    const std::string line = "clCreateProgramWithSource " + tag(context) + " count=" + std::to_string(count) +
                             " lengths=" + (lengths != nullptr ? std::to_string(lengths[0]) : std::string("null")) +
                             " source=" + fake::escape(source);
    const cl_int status = scripted_status("clCreateProgramWithSource");
    if (status != CL_SUCCESS) {
        log_line(line + " -> " + std::to_string(status));
        set_error(errcode_ret, status);
        return nullptr;
    }
    if (!known(context)) {
        log_line(line + " -> invalid");
        set_error(errcode_ret, CL_INVALID_CONTEXT);
        return nullptr;
    }
    auto* program = make<_cl_program>(false);
    log_line(line + " -> " + program->tag);
    set_error(errcode_ret, CL_SUCCESS);
    return program;
}

cl_int CL_API_CALL fake_BuildProgram(cl_program program, cl_uint num_devices, const cl_device_id* devices,
                                     const char* options, void(CL_CALLBACK* notify)(cl_program, void*),
                                     void* user_data) {
    std::string line = "clBuildProgram " + tag(program) + " num_devices=" + std::to_string(num_devices);
    for (cl_uint i = 0; devices != nullptr && i < num_devices; ++i) {
        line += " " + device_tag(devices[i]);
    }
    line += " options=" + (options != nullptr ? fake::escape(options) : std::string("null")) +
            " notify=" + (notify != nullptr ? "set" : "null") + " user_data=" + (user_data != nullptr ? "set" : "null");
    const cl_int status = scripted_status("clBuildProgram");
    log_line(line + " -> " + std::to_string(status));
    if (!known(program)) {
        return CL_INVALID_PROGRAM;
    }
    program->built = status == CL_SUCCESS;
    return status;
}

cl_int CL_API_CALL fake_GetProgramBuildInfo(cl_program program, cl_device_id device, cl_program_build_info param,
                                            size_t size, void* value, size_t* size_ret) {
    log_line("clGetProgramBuildInfo " + tag(program) + " " + device_tag(device) + " param=" + hex(param) +
             " size=" + std::to_string(size) + (value != nullptr ? " value=set" : " value=null") +
             (size_ret != nullptr ? " size_ret=set" : " size_ret=null"));
    if (!known(program)) {
        return CL_INVALID_PROGRAM;
    }
    if (!known_device(device)) {
        return CL_INVALID_DEVICE;
    }
    if (param != CL_PROGRAM_BUILD_LOG) {
        return CL_INVALID_VALUE;
    }
    return answer_string(driver().scenario.build_log, size, value, size_ret);
}

cl_kernel CL_API_CALL fake_CreateKernel(cl_program program, const char* name, cl_int* errcode_ret) {
    const std::string line =
        "clCreateKernel " + tag(program) + " name=" + (name != nullptr ? fake::escape(name) : std::string("null"));
    const cl_int status = scripted_status("clCreateKernel");
    if (status != CL_SUCCESS) {
        log_line(line + " -> " + std::to_string(status));
        set_error(errcode_ret, status);
        return nullptr;
    }
    if (!known(program) || !program->built) {
        log_line(line + " -> invalid");
        set_error(errcode_ret, !known(program) ? CL_INVALID_PROGRAM : CL_INVALID_PROGRAM_EXECUTABLE);
        return nullptr;
    }
    if (name == nullptr || std::strcmp(name, "add_one") != 0) {
        log_line(line + " -> invalid");
        set_error(errcode_ret, CL_INVALID_KERNEL_NAME);
        return nullptr;
    }
    auto* kernel = make<_cl_kernel>();
    log_line(line + " -> " + kernel->tag);
    set_error(errcode_ret, CL_SUCCESS);
    return kernel;
}

cl_int CL_API_CALL fake_SetKernelArg(cl_kernel kernel, cl_uint index, size_t size, const void* value) {
    cl_mem mem = nullptr;
    if (value != nullptr && size == sizeof(cl_mem)) {
        std::memcpy(&mem, value, sizeof mem);
    }
    const std::string line = "clSetKernelArg " + tag(kernel) + " index=" + std::to_string(index) +
                             " size=" + std::to_string(size) + " value=" + tag(mem);
    const cl_int status = scripted_status("clSetKernelArg");
    log_line(line + " -> " + std::to_string(status));
    if (status != CL_SUCCESS) {
        return status;
    }
    if (!known(kernel)) {
        return CL_INVALID_KERNEL;
    }
    if (index > 1) {
        return CL_INVALID_ARG_INDEX;
    }
    if (size != sizeof(cl_mem)) {
        return CL_INVALID_ARG_SIZE;
    }
    if (!known(mem)) {
        return CL_INVALID_MEM_OBJECT;
    }
    kernel->args[index] = mem;
    return CL_SUCCESS;
}

// ---- Running ----

cl_int CL_API_CALL fake_EnqueueNDRangeKernel(cl_command_queue queue, cl_kernel kernel, cl_uint work_dim,
                                             const size_t* offset, const size_t* global, const size_t* local,
                                             cl_uint num_wait, const cl_event* wait_list, cl_event* event) {
    const std::string line =
        "clEnqueueNDRangeKernel " + tag(queue) + " " + tag(kernel) + " work_dim=" + std::to_string(work_dim) +
        " offset=" + (offset != nullptr ? "set" : "null") +
        " global=" + (global != nullptr ? std::to_string(global[0]) : std::string("null")) +
        " local=" + (local != nullptr ? std::to_string(local[0]) : std::string("null")) +
        " num_wait=" + std::to_string(num_wait) + " wait_list=" + (wait_list != nullptr ? "set" : "null") +
        " event=" + (event != nullptr ? "set" : "null");
    cl_int status = scripted_status("clEnqueueNDRangeKernel");
    const Scenario& s = driver().scenario;
    if (status == CL_SUCCESS && local != nullptr && s.refuse_local_size != CL_SUCCESS) {
        status = s.refuse_local_size;
    }
    if (status == CL_SUCCESS) {
        if (!known(queue)) {
            status = CL_INVALID_COMMAND_QUEUE;
        } else if (!known(kernel)) {
            status = CL_INVALID_KERNEL;
        } else if (work_dim != 1 || global == nullptr || global[0] == 0) {
            status = CL_INVALID_WORK_DIMENSION;
        } else if (!known(kernel->args[0]) || !known(kernel->args[1])) {
            status = CL_INVALID_KERNEL_ARGS;
        } else if (local != nullptr && (local[0] == 0 || global[0] % local[0] != 0)) {
            status = CL_INVALID_WORK_GROUP_SIZE;
        } else if (kernel->args[0]->bytes.size() < 4 * global[0] || kernel->args[1]->bytes.size() < 4 * global[0]) {
            status = CL_OUT_OF_RESOURCES;  // the kernel would run off the end of a buffer
        }
    }
    if (status != CL_SUCCESS) {
        log_line(line + " -> " + std::to_string(status));
        return status;
    }
    std::vector<unsigned char>& in = kernel->args[0]->bytes;
    std::vector<unsigned char>& out = kernel->args[1]->bytes;
    for (size_t i = 0; i < global[0]; ++i) {
        std::uint32_t v = 0;
        std::memcpy(&v, in.data() + 4 * i, 4);
        v += 1U;
        for (const fake::WrongValue& w : s.wrong_values) {
            if (w.index == i) {
                v = w.value;
            }
        }
        std::memcpy(out.data() + 4 * i, &v, 4);
    }
    std::string made = "none";
    if (event != nullptr) {
        *event = make<_cl_event>(queue->profiling);
        made = (*event)->tag;
    }
    log_line(line + " -> " + made);
    return CL_SUCCESS;
}

cl_int CL_API_CALL fake_WaitForEvents(cl_uint num_events, const cl_event* events) {
    std::string line = "clWaitForEvents num_events=" + std::to_string(num_events);
    for (cl_uint i = 0; events != nullptr && i < num_events; ++i) {
        line += " " + tag(events[i]);
    }
    const cl_int status = scripted_status("clWaitForEvents");
    log_line(line + " -> " + std::to_string(status));
    if (status != CL_SUCCESS) {
        return status;
    }
    if (num_events == 0 || events == nullptr) {
        return CL_INVALID_VALUE;
    }
    for (cl_uint i = 0; i < num_events; ++i) {
        if (!known(events[i])) {
            return CL_INVALID_EVENT;
        }
    }
    return CL_SUCCESS;
}

cl_int CL_API_CALL fake_EnqueueReadBuffer(cl_command_queue queue, cl_mem buffer, cl_bool blocking, size_t offset,
                                          size_t size, void* ptr, cl_uint num_wait, const cl_event* wait_list,
                                          cl_event* event) {
    const std::string line =
        "clEnqueueReadBuffer " + tag(queue) + " " + tag(buffer) + " blocking=" + std::to_string(blocking) +
        " offset=" + std::to_string(offset) + " size=" + std::to_string(size) +
        " ptr=" + (ptr != nullptr ? "set" : "null") + " num_wait=" + std::to_string(num_wait) +
        " wait_list=" + (wait_list != nullptr ? "set" : "null") + " event=" + (event != nullptr ? "set" : "null");
    const cl_int status = scripted_status("clEnqueueReadBuffer");
    log_line(line + " -> " + std::to_string(status));
    if (status != CL_SUCCESS) {
        return status;
    }
    if (!known(queue)) {
        return CL_INVALID_COMMAND_QUEUE;
    }
    if (!known(buffer)) {
        return CL_INVALID_MEM_OBJECT;
    }
    if (ptr == nullptr || offset + size > buffer->bytes.size()) {
        return CL_INVALID_VALUE;
    }
    std::memcpy(ptr, buffer->bytes.data() + offset, size);
    return CL_SUCCESS;
}

cl_int CL_API_CALL fake_GetEventProfilingInfo(cl_event event, cl_profiling_info param, size_t size, void* value,
                                              size_t* size_ret) {
    log_line("clGetEventProfilingInfo " + tag(event) + " param=" + hex(param) + " size=" + std::to_string(size));
    if (!known(event)) {
        return CL_INVALID_EVENT;
    }
    if (!event->profiling) {
        return CL_PROFILING_INFO_NOT_AVAILABLE;
    }
    const Scenario& s = driver().scenario;
    switch (param) {
        case CL_PROFILING_COMMAND_START: return answer_scalar_attr(s.profiling_start, 8, size, value, size_ret);
        case CL_PROFILING_COMMAND_END: return answer_scalar_attr(s.profiling_end, 8, size, value, size_ret);
        default: return CL_INVALID_VALUE;
    }
}

// ---- Releases ----

template <typename T>
cl_int release(const char* function, T* object) {
    log_line(std::string(function) + " " + tag(object));
    if (!known(object)) {
        return T::invalid;
    }
    driver().live[T::kind].erase(object);
    delete object;
    return CL_SUCCESS;
}

cl_int CL_API_CALL fake_ReleaseEvent(cl_event e) {
    return release("clReleaseEvent", e);
}
cl_int CL_API_CALL fake_ReleaseKernel(cl_kernel k) {
    return release("clReleaseKernel", k);
}
cl_int CL_API_CALL fake_ReleaseProgram(cl_program p) {
    return release("clReleaseProgram", p);
}
cl_int CL_API_CALL fake_ReleaseMemObject(cl_mem m) {
    return release("clReleaseMemObject", m);
}
cl_int CL_API_CALL fake_ReleaseCommandQueue(cl_command_queue q) {
    return release("clReleaseCommandQueue", q);
}
cl_int CL_API_CALL fake_ReleaseContext(cl_context c) {
    return release("clReleaseContext", c);
}

void* CL_API_CALL fake_GetExtensionFunctionAddress(const char* name);

cl_int CL_API_CALL fake_IcdGetPlatformIDs(cl_uint num_entries, cl_platform_id* platforms, cl_uint* num_platforms) {
    Driver& d = driver();
    log_line("clIcdGetPlatformIDsKHR num_entries=" + std::to_string(num_entries));
    if ((platforms == nullptr && num_platforms == nullptr) || (platforms != nullptr && num_entries == 0)) {
        return CL_INVALID_VALUE;
    }
    if (d.platforms.empty()) {
        return CL_PLATFORM_NOT_FOUND_KHR;
    }
    for (cl_uint i = 0; platforms != nullptr && i < num_entries && i < d.platforms.size(); ++i) {
        platforms[i] = d.platforms[i].get();
    }
    if (num_platforms != nullptr) {
        *num_platforms = static_cast<cl_uint>(d.platforms.size());
    }
    return CL_SUCCESS;
}

cl_int CL_API_CALL fake_GetPlatformIDs(cl_uint num_entries, cl_platform_id* platforms, cl_uint* num_platforms) {
    return fake_IcdGetPlatformIDs(num_entries, platforms, num_platforms);
}

void fill_dispatch() {
    g_dispatch.clGetPlatformIDs = fake_GetPlatformIDs;
    g_dispatch.clGetPlatformInfo = fake_GetPlatformInfo;
    g_dispatch.clGetDeviceIDs = fake_GetDeviceIDs;
    g_dispatch.clGetDeviceInfo = fake_GetDeviceInfo;
    g_dispatch.clCreateContext = fake_CreateContext;
    g_dispatch.clReleaseContext = fake_ReleaseContext;
    g_dispatch.clCreateCommandQueue = fake_CreateCommandQueue;
    g_dispatch.clReleaseCommandQueue = fake_ReleaseCommandQueue;
    g_dispatch.clCreateBuffer = fake_CreateBuffer;
    g_dispatch.clReleaseMemObject = fake_ReleaseMemObject;
    g_dispatch.clCreateProgramWithSource = fake_CreateProgramWithSource;
    g_dispatch.clReleaseProgram = fake_ReleaseProgram;
    g_dispatch.clBuildProgram = fake_BuildProgram;
    g_dispatch.clGetProgramBuildInfo = fake_GetProgramBuildInfo;
    g_dispatch.clCreateKernel = fake_CreateKernel;
    g_dispatch.clReleaseKernel = fake_ReleaseKernel;
    g_dispatch.clSetKernelArg = fake_SetKernelArg;
    g_dispatch.clWaitForEvents = fake_WaitForEvents;
    g_dispatch.clReleaseEvent = fake_ReleaseEvent;
    g_dispatch.clGetEventProfilingInfo = fake_GetEventProfilingInfo;
    g_dispatch.clEnqueueReadBuffer = fake_EnqueueReadBuffer;
    g_dispatch.clEnqueueNDRangeKernel = fake_EnqueueNDRangeKernel;
    g_dispatch.clGetExtensionFunctionAddress = fake_GetExtensionFunctionAddress;
}

void* CL_API_CALL fake_GetExtensionFunctionAddress(const char* name) {
    if (name != nullptr && std::strcmp(name, "clIcdGetPlatformIDsKHR") == 0) {
        fill_dispatch();
        return reinterpret_cast<void*>(&fake_IcdGetPlatformIDs);
    }
    return nullptr;
}

}  // namespace

FAKE_EXPORT void* CL_API_CALL clGetExtensionFunctionAddress(const char* name) {
    return fake_GetExtensionFunctionAddress(name);
}

FAKE_EXPORT cl_int CL_API_CALL clIcdGetPlatformIDsKHR(cl_uint num_entries, cl_platform_id* platforms,
                                                      cl_uint* num_platforms) {
    fill_dispatch();
    return fake_IcdGetPlatformIDs(num_entries, platforms, num_platforms);
}

// The loader looks this one up by name before it trusts the library.
FAKE_EXPORT cl_int CL_API_CALL clGetPlatformInfo(cl_platform_id platform, cl_platform_info param, size_t size,
                                                 void* value, size_t* size_ret) {
    return fake_GetPlatformInfo(platform, param, size, value, size_ret);
}
