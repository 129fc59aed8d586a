// Which of the ways a camera offers to send frames to take, on every camera system: the size
// first, then the format, then the rate.
#pragma once

#include <cstdint>
#include <vector>

// One way a camera can send: a size, a format, and the shortest time between frames it lists
// for them (seconds as a fraction; 0/0 when it lists none).
struct CameraMode {
    uint32_t width, height;
    int formatRank;  // how much we like the format: 0 best
    uint32_t intervalNumerator, intervalDenominator;
};

// The mode to take for frames of width x height: of the sizes, the smallest of the frame's
// shape that is at least as large; else the smallest at least as large (its middle is used,
// cropped to the frame's shape); else the largest. At that size the best-liked format, and in it
// the fastest rate up to 30 frames a second (a camera that lists only faster ones: its
// slowest). Its index, or -1 when none is offered.
int chooseMode(const std::vector<CameraMode>& modes, int width, int height);

// The same rule for a camera that takes any width (or height) between two bounds, in whole steps
// from the lower (bounds in either order, as some report them): the first step at or above the
// frame's, else the upper bound.
uint32_t chooseLength(uint32_t want, uint32_t least, uint32_t most, uint32_t step);

// The same rule for a camera that takes any interval between shortest and longest (in units of
// 1/unitsPerSecond of a second): a thirtieth of a second where it can, else the nearer end.
uint64_t chooseInterval(uint64_t shortest, uint64_t longest, uint64_t unitsPerSecond);
