// Proves that the frame loop's work, update() and drawMosaic(), allocates nothing.
#include "tests/allocation_counter.h"
#include "tests/app_fixture.h"

namespace {

using Allocations = AppTest;

TEST_F(Allocations, FrameLoopWorkAllocatesNothing) {
    if (!allocationsCounted()) GTEST_SKIP() << "the sanitizer owns the allocator";
    std::vector<unsigned char> frames[2] = {std::vector<unsigned char>(160 * 120 * 3, 90),
                                            std::vector<unsigned char>(160 * 120 * 3, 200)};
    grid->update();
    drawMosaic(screen);
    const long before = allocationCount();
    for (int pass = 0; pass < 1000; pass++) {
        camera()->show(frames[pass % 2]);
        grid->update();
        drawMosaic(screen);
    }
    EXPECT_EQ(allocationCount() - before, 0);
}

}  // namespace
