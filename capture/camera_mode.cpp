#include "capture/camera_mode.h"

#include <cstddef>
#include <utility>

// Ranks a size for frames of width x height: 0, the frame's shape and large enough; 1, large
// enough; 2, too small. Within a rank, smaller is better, but for too small, where larger is.
static int sizeRank(const CameraMode& mode, int width, int height) {
    const bool largeEnough = mode.width >= (uint32_t)width && mode.height >= (uint32_t)height;
    const bool sameShape = (uint64_t)mode.width * height == (uint64_t)mode.height * width;
    return largeEnough ? (sameShape ? 0 : 1) : 2;
}

static bool listsRate(const CameraMode& mode) { return mode.intervalNumerator && mode.intervalDenominator; }

static bool faster(const CameraMode& a, const CameraMode& b) {
    return (uint64_t)a.intervalNumerator * b.intervalDenominator < (uint64_t)b.intervalNumerator * a.intervalDenominator;
}

// 30 frames a second or fewer. A hair over 30 counts: DirectShow's 333333 x 100 ns is 30.0003.
static bool atMost30(uint64_t numerator, uint64_t denominator) { return numerator * 30001 >= denominator * 1000; }

// Webcams that run faster than 30 a second shorten their exposure for it (a darker, noisier
// picture) and the mosaic gains nothing: the fastest rate up to 30, else the slowest there is.
static bool betterRate(const CameraMode& a, const CameraMode& b) {
    if (!listsRate(a)) return false;
    if (!listsRate(b)) return true;
    const bool aCalm = atMost30(a.intervalNumerator, a.intervalDenominator);
    const bool bCalm = atMost30(b.intervalNumerator, b.intervalDenominator);
    if (aCalm != bCalm) return aCalm;
    return aCalm ? faster(a, b) : faster(b, a);
}

static bool better(const CameraMode& a, const CameraMode& b, int width, int height) {
    const int rankA = sizeRank(a, width, height), rankB = sizeRank(b, width, height);
    if (rankA != rankB) return rankA < rankB;
    const uint64_t areaA = (uint64_t)a.width * a.height, areaB = (uint64_t)b.width * b.height;
    if (areaA != areaB) return rankA == 2 ? areaA > areaB : areaA < areaB;
    if (a.formatRank != b.formatRank) return a.formatRank < b.formatRank;
    return betterRate(a, b);
}

int chooseMode(const std::vector<CameraMode>& modes, int width, int height) {
    int best = -1;
    for (size_t i = 0; i < modes.size(); i++)
        if (best < 0 || better(modes[i], modes[(size_t)best], width, height)) best = (int)i;
    return best;
}

uint32_t chooseLength(uint32_t want, uint32_t least, uint32_t most, uint32_t step) {
    if (most < least) std::swap(least, most);
    if (want <= least) return least;
    step = step ? step : 1;
    const uint64_t stepped = least + ((uint64_t)want - least + step - 1) / step * step;
    return stepped > most ? most : (uint32_t)stepped;
}

uint64_t chooseInterval(uint64_t shortest, uint64_t longest, uint64_t unitsPerSecond) {
    const uint64_t thirtieth = unitsPerSecond / 30;  // 333333 in DirectShow's 100 ns
    if (longest < shortest) std::swap(shortest, longest);  // as some drivers give them
    return thirtieth < shortest ? shortest : thirtieth > longest ? longest : thirtieth;
}
