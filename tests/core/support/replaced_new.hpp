#pragma once
// The global allocation functions replaced for tests that make allocations fail on purpose.
// Include this in exactly one source file of a test program, which defines `should_fail`: every
// allocation asks it first (on every thread), and a failing one throws std::bad_alloc, or gives
// nullptr in the nothrow forms (which std::stable_sort's scratch buffer uses). The blocks of the
// containers that grow with realloc ask it too.
#include <cstddef>
#include <cstdlib>
#include <new>

#include "core/runtime/block_memory.hpp"

namespace vorn::testing_support {
bool should_fail(std::size_t size);
}  // namespace vorn::testing_support

namespace {

void* replaced_allocate(std::size_t size) {
    if (vorn::testing_support::should_fail(size)) throw std::bad_alloc();
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

const bool block_failures_installed = (vorn::block_memory::set_failure_hook(&vorn::testing_support::should_fail), true);

}  // namespace

void* operator new(std::size_t size) { return replaced_allocate(size); }
void* operator new[](std::size_t size) { return replaced_allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return replaced_allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
