// Counts every heap allocation in the process and proves that the frame loop's work,
// update() and drawMosaic(), allocates nothing.
#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/app_fixture.h"

namespace {
std::atomic<long> allocations{0};
}

// These operators pair with each other (malloc and free underneath); GCC cannot see that
// where gtest's own new and delete get inlined.
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

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// C allocations too (SDL's among them), where no sanitizer owns malloc.
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

namespace {

using Allocations = AppTest;

TEST_F(Allocations, FrameLoopWorkAllocatesNothing) {
    std::vector<unsigned char> frames[2] = {std::vector<unsigned char>(160 * 120 * 3, 90),
                                            std::vector<unsigned char>(160 * 120 * 3, 200)};
    grid->update();
    drawMosaic(screen);
    const long before = allocations;
    for (int pass = 0; pass < 1000; pass++) {
        camera()->show(frames[pass % 2]);
        grid->update();
        drawMosaic(screen);
    }
    EXPECT_EQ(allocations - before, 0);
}

}  // namespace
