// What either back end asks a camera for: a size of the frame's 4:3 shape where there is one,
// then the best format at that size, then its fastest rate up to 30 a second.
#include <gtest/gtest.h>

#include "capture/camera_mode.h"

namespace {

TEST(CameraModeChoice, SizeThenFormatThenRate) {
    using Modes = std::vector<CameraMode>;
    struct Case {
        const char* name;
        Modes offered;
        int chosen;
    };
    const CameraMode yuy2_320x180_60{320, 180, 1, 1, 60}, yuy2_640x360_30{640, 360, 1, 1, 30},
        yuy2_640x480_25{640, 480, 1, 1, 25}, yuy2_640x480_15{640, 480, 1, 1, 15}, rgb_640x480_10{640, 480, 0, 1, 10},
        yuy2_1280x720_10{1280, 720, 1, 1, 10};
    const Case cases[] = {
        {"a webcam's list, 16:9 first: the smallest 4:3 at least 160x120",
         {yuy2_320x180_60, yuy2_640x360_30, yuy2_640x480_25, yuy2_1280x720_10}, 2},
        {"the fastest rate at that size", {yuy2_640x480_15, yuy2_640x480_25, yuy2_320x180_60}, 1},
        {"RGB24 before YUY2 at that size, however slow", {yuy2_640x480_25, rgb_640x480_10, yuy2_320x180_60}, 1},
        {"a rate listed beats none", {{640, 480, 0, 0, 0}, {640, 480, 0, 1, 5}}, 1},
        {"never faster than 30", {{640, 480, 0, 1, 120}, {640, 480, 0, 1, 30}, {640, 480, 0, 1, 60}}, 1},
        {"DirectShow's 30 a second is 30", {{640, 480, 0, 1, 25}, {640, 480, 0, 333333, 10000000}}, 1},
        {"all faster than 30: the slowest", {{640, 480, 0, 1, 120}, {640, 480, 0, 1, 60}, {640, 480, 0, 1, 90}}, 1},
        {"the frame's own size", {{1280, 960, 0, 0, 0}, {320, 240, 0, 0, 0}, {160, 120, 0, 0, 0}}, 2},
        {"no 4:3: the smallest large enough, cropped", {{1920, 1080, 0, 0, 0}, {640, 360, 0, 0, 0}, {1280, 720, 0, 0, 0}}, 1},
        {"4:3 too small loses to a larger other shape", {{120, 90, 0, 0, 0}, {176, 144, 0, 0, 0}}, 1},
        {"all too small: the largest", {{80, 60, 0, 0, 0}, {128, 96, 0, 0, 0}}, 1},
        {"nothing offered", {}, -1},
    };
    for (const Case& c : cases) EXPECT_EQ(chooseMode(c.offered, 160, 120), c.chosen) << c.name;
    // A camera that takes any interval in a range (100 ns units): 30 a second where it can.
    const uint64_t ranges[][3] = {{83333, 2000000, 333333}, {83333, 166666, 166666}, {400000, 2000000, 400000}};
    for (auto& r : ranges) EXPECT_EQ(chooseInterval(r[0], r[1], 10000000), r[2]) << r[0] << "-" << r[1];
}

}  // namespace
