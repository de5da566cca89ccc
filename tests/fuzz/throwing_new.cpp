// SPDX-License-Identifier: Apache-2.0
// The standard's replaceable global operator new and delete, for the string
// procedure's fuzzer.
//
// read_info_string turns an allocation failure (std::bad_alloc) into an empty
// string, and that path is part of what the fuzzer checks. The operator new of
// clang 14's AddressSanitizer never throws: when its allocator fails it reports
// "allocator is out of memory" and ends the process, even with
// allocator_may_return_null=1 (that option only makes malloc return null). So
// this target replaces operator new with what libstdc++'s own operator new
// does: malloc, and std::bad_alloc when malloc gives null. ASan still
// intercepts malloc and free, so every block stays poisoned, redzoned and
// checked; only its new/delete pairing check is lost, which is why every
// non-aligned form is replaced here together, leaving no mixed pair.

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void* allocate(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* allocate_or_null(std::size_t size) noexcept {
    return std::malloc(size == 0 ? 1 : size);
}

void release(void* block) noexcept {
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    return allocate_or_null(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*tag*/) noexcept {
    return allocate_or_null(size);
}
void operator delete(void* block) noexcept {
    release(block);
}
void operator delete[](void* block) noexcept {
    release(block);
}
void operator delete(void* block, std::size_t /*size*/) noexcept {
    release(block);
}
void operator delete[](void* block, std::size_t /*size*/) noexcept {
    release(block);
}
void operator delete(void* block, const std::nothrow_t& /*tag*/) noexcept {
    release(block);
}
void operator delete[](void* block, const std::nothrow_t& /*tag*/) noexcept {
    release(block);
}
