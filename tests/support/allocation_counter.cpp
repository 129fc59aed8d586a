#include "tests/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> allocations{0};
}

long allocationCount() { return allocations; }

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers own the allocator (and libraries bound to their operators free what they
// allocate): nothing is replaced or counted there.
bool allocationsCounted() { return false; }
#else
bool allocationsCounted() { return true; }

// These operators pair with each other (malloc and free underneath); GCC cannot always see
// that where other code's new and delete get inlined.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    allocations++;
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

#ifndef _WIN32
// C allocations too (SDL's among them), with glibc.
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t size) {
    allocations++;
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) {
    allocations++;
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, size_t size) {
    allocations++;
    return __libc_realloc(block, size);
}
#endif
#endif
