// Which of the sizes a camera offers to take for frames of width x height: the smallest of
// their shape that is at least as large; else the smallest at least as large (its middle is
// used, cropped to the frame's shape); else the largest. (0, 0) when it offers none.
#pragma once

#include <cstdint>
#include <vector>

struct FrameSize {
    uint32_t width, height;
};

FrameSize chooseFrameSize(const std::vector<FrameSize>& offered, int width, int height);
