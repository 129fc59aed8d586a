// The frame meter's second: more than 1000 ms, in wrapping milliseconds.
#include <gtest/gtest.h>

#include "app/quiltcam.h"

namespace {

TEST(FrameMeter, SecondIsUpAfterMoreThan1000Milliseconds) {
    struct Case {
        Uint32 now, lastTick;
        bool due;
    };
    const Case cases[] = {
        {1000, 0, false},       {1001, 0, true},        {5000, 4000, false},
        {5001, 4000, true},     {0, 0xFFFFFC18, false},  // 1000 ms across the wrap
        {0, 0xFFFFFC17, true},  {5, 0xFFFFFC00, true},   {0xFFFFFFFF, 0xFFFFFC17, false},
    };
    for (const Case& c : cases) EXPECT_EQ(meterSecondElapsed(c.now, c.lastTick), c.due) << c.now << " - " << c.lastTick;
}

}  // namespace
