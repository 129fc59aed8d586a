#include "capture/camera_mode.h"

#include <cstddef>

// Ranks a size for frames of width x height: 0, the frame's shape and large enough; 1, large
// enough; 2, too small. Within a rank, smaller is better, but for too small, where larger is.
static int sizeRank(const CameraMode& mode, int width, int height) {
    const bool largeEnough = mode.width >= (uint32_t)width && mode.height >= (uint32_t)height;
    const bool sameShape = (uint64_t)mode.width * height == (uint64_t)mode.height * width;
    return largeEnough ? (sameShape ? 0 : 1) : 2;
}

static bool faster(const CameraMode& a, const CameraMode& b) {
    if (!a.intervalDenominator || !a.intervalNumerator) return false;
    if (!b.intervalDenominator || !b.intervalNumerator) return true;
    return (uint64_t)a.intervalNumerator * b.intervalDenominator < (uint64_t)b.intervalNumerator * a.intervalDenominator;
}

static bool better(const CameraMode& a, const CameraMode& b, int width, int height) {
    const int rankA = sizeRank(a, width, height), rankB = sizeRank(b, width, height);
    if (rankA != rankB) return rankA < rankB;
    const uint64_t areaA = (uint64_t)a.width * a.height, areaB = (uint64_t)b.width * b.height;
    if (areaA != areaB) return rankA == 2 ? areaA > areaB : areaA < areaB;
    if (a.formatRank != b.formatRank) return a.formatRank < b.formatRank;
    return faster(a, b);
}

int chooseMode(const std::vector<CameraMode>& modes, int width, int height) {
    int best = -1;
    for (size_t i = 0; i < modes.size(); i++)
        if (best < 0 || better(modes[i], modes[(size_t)best], width, height)) best = (int)i;
    return best;
}
