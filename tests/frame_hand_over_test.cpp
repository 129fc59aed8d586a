// The hand-over between a camera's thread and the frame loop, as the grid relies on it: the
// newest whole frame or nothing, never two frames mixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "capture/frame_hand_over.h"

namespace {

const size_t frameSize = 160 * 120 * 3;

TEST(FrameHandOver, GivesTheNewestFrameOfTheRightSizeOnce) {
    // What is put in, in order, and what a take then gives (0: nothing, the frame untouched).
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, unsigned char>> put;  // size, byte value
        unsigned char taken;
    };
    const Case cases[] = {
        {"nothing yet", {}, 0},
        {"one frame", {{frameSize, 1}}, 1},
        {"the newest of three", {{frameSize, 1}, {frameSize, 2}, {frameSize, 3}}, 3},
        {"short and long frames dropped", {{frameSize, 1}, {frameSize - 3, 2}, {frameSize + 3, 3}}, 1},
        {"only wrong sizes", {{frameSize - 1, 2}, {0, 3}}, 0},
    };
    for (const Case& c : cases) {
        FrameHandOver handOver;
        handOver.plan(frameSize);
        for (auto [size, value] : c.put) {
            std::vector<unsigned char> frame(size, value);
            handOver.put(frame.data(), size);
        }
        std::vector<unsigned char> taken(frameSize + 16, 0);
        EXPECT_EQ(handOver.take(taken.data()), c.taken != 0) << c.name;
        EXPECT_EQ(std::count(taken.begin(), taken.begin() + frameSize, c.taken), (long)frameSize) << c.name;
        EXPECT_EQ(taken[frameSize], 0) << c.name << ": wrote past the frame";
        EXPECT_FALSE(handOver.take(taken.data())) << c.name << ": the same frame twice";
    }
}

TEST(FrameHandOver, ACopyIsAWholeFrameOrNothing) {
    // The camera's thread puts frames of one byte value each, as fast as it can, while this
    // thread takes them: a copy with two values would be two frames mixed.
    FrameHandOver handOver;
    handOver.plan(frameSize);
    std::atomic<bool> done{false};
    std::thread camera([&] {
        std::vector<unsigned char> frame(frameSize);
        for (unsigned number = 0; !done; number++) {
            std::fill(frame.begin(), frame.end(), (unsigned char)number);
            handOver.put(frame.data(), frame.size());
        }
    });
    std::vector<unsigned char> copy(frameSize);
    int copies = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (copies < 500 && std::chrono::steady_clock::now() < end) {
        if (!handOver.take(copy.data())) continue;  // nothing new yet
        copies++;
        const auto [low, high] = std::minmax_element(copy.begin(), copy.end());
        ASSERT_EQ(*low, *high) << "copy " << copies << " mixes frames";
    }
    done = true;
    camera.join();
    EXPECT_EQ(copies, 500);
}

}  // namespace
