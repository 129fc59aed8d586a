// The frame meter: once a second (more than 1000 ms, in wrapping milliseconds) the windowed
// program puts its title back.
#include "tests/app_fixture.h"

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

using FrameMeterTest = AppTest;

std::string caption() {
    char* title = nullptr;
    char* icon = nullptr;
    SDL_WM_GetCaption(&title, &icon);
    return title ? title : "";
}

TEST_F(FrameMeterTest, RetitlesOncePerSecondAndRestartsTheCount) {
    SDL_WM_SetCaption("elsewhere", "");
    frameCount = 41;
    lastTick = SDL_GetTicks();  // the second has only begun
    tickFrameMeter();
    EXPECT_EQ(caption(), "elsewhere");
    EXPECT_EQ(frameCount, 42);

    lastTick = SDL_GetTicks() - 5000;
    tickFrameMeter();
    EXPECT_EQ(caption(), "Quiltcam");
    EXPECT_EQ(frameCount, 0);
    EXPECT_EQ(lastTick, now);
    EXPECT_GE(elapsed, 5000u);
}

}  // namespace
