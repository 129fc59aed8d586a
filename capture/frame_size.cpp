#include "capture/frame_size.h"

FrameSize chooseFrameSize(const std::vector<FrameSize>& offered, int width, int height) {
    FrameSize best{0, 0};
    int bestRank = 3;  // 0: the frame's shape, large enough; 1: large enough; 2: too small
    for (const FrameSize& size : offered) {
        const bool largeEnough = size.width >= (uint32_t)width && size.height >= (uint32_t)height;
        const bool sameShape = (uint64_t)size.width * height == (uint64_t)size.height * width;
        const int rank = largeEnough ? (sameShape ? 0 : 1) : 2;
        const uint64_t area = (uint64_t)size.width * size.height, bestArea = (uint64_t)best.width * best.height;
        if (rank < bestRank || (rank == bestRank && (rank == 2 ? area > bestArea : area < bestArea))) {
            best = size;
            bestRank = rank;
        }
    }
    return best;
}
