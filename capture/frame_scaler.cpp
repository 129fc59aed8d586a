#include "capture/frame_scaler.h"

#include <algorithm>

// Positions are measured in units of 1/target of a source pixel: target index j covers
// [j x source, (j + 1) x source) and source index i covers [i x target, (i + 1) x target).
void FrameScaler::Taps::plan(int source, int target) {
    first.assign(target, 0);
    count.assign(target, 0);
    weightStart.assign(target, 0);
    weights.clear();
    for (int j = 0; j < target; j++) {
        const long long start = (long long)j * source, end = (long long)(j + 1) * source;
        const int firstIndex = (int)(start / target);
        first[j] = firstIndex;
        weightStart[j] = (int)weights.size();
        for (int i = firstIndex; (long long)i * target < end; i++) {
            const long long overlap =
                std::min(end, (long long)(i + 1) * target) - std::max(start, (long long)i * target);
            weights.push_back((uint32_t)overlap);
            count[j]++;
        }
    }
}

void FrameScaler::plan(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight) {
    this->sourceWidth = sourceWidth;
    this->sourceHeight = sourceHeight;
    this->targetWidth = targetWidth;
    this->targetHeight = targetHeight;
    cropWidth = sourceWidth;
    cropHeight = sourceHeight;
    if ((long long)sourceWidth * targetHeight > (long long)sourceHeight * targetWidth)
        cropWidth = std::max(1, (int)((long long)sourceHeight * targetWidth / targetHeight));  // wider: lose the sides
    else
        cropHeight = std::max(1, (int)((long long)sourceWidth * targetHeight / targetWidth));  // taller: top and bottom
    cropX = (sourceWidth - cropWidth) / 2;
    cropY = (sourceHeight - cropHeight) / 2;
    columns.plan(cropWidth, targetWidth);
    rows.plan(cropHeight, targetHeight);
    columnSums.assign((size_t)cropWidth * 3, 0);
}

// Down the rows first, over whole source rows (contiguous, so the compiler vectorises it),
// then across within the one row of sums. Every sum is an exact integer, in any order.
void FrameScaler::scale(const unsigned char* source, unsigned char* target, bool flipRows, int sourceRowBytes) const {
    const uint64_t total = (uint64_t)cropWidth * (uint64_t)cropHeight;
    const size_t rowBytes = sourceRowBytes > 0 ? (size_t)sourceRowBytes : (size_t)sourceWidth * 3;
    const size_t sums = (size_t)cropWidth * 3;
    source += (size_t)cropY * rowBytes + (size_t)cropX * 3;
    uint32_t* down = columnSums.data();
    for (int r = 0; r < targetHeight; r++) {
        std::fill(columnSums.begin(), columnSums.end(), 0);
        for (int t = 0; t < rows.count[r]; t++) {
            const unsigned char* sourceRow = source + (size_t)(rows.first[r] + t) * rowBytes;
            const uint32_t rowWeight = rows.weights[rows.weightStart[r] + t];
            for (size_t i = 0; i < sums; i++) down[i] += rowWeight * sourceRow[i];
        }
        const int targetRow = flipRows ? targetHeight - 1 - r : r;
        unsigned char* out = target + (size_t)targetRow * targetWidth * 3;
        for (int c = 0; c < targetWidth; c++) {
            uint64_t b = 0, g = 0, red = 0;
            const uint32_t* pixel = down + (size_t)columns.first[c] * 3;
            const uint32_t* weight = &columns.weights[columns.weightStart[c]];
            for (int k = 0; k < columns.count[c]; k++, pixel += 3) {
                b += (uint64_t)weight[k] * pixel[0];
                g += (uint64_t)weight[k] * pixel[1];
                red += (uint64_t)weight[k] * pixel[2];
            }
            out[c * 3] = (unsigned char)((b + total / 2) / total);
            out[c * 3 + 1] = (unsigned char)((g + total / 2) / total);
            out[c * 3 + 2] = (unsigned char)((red + total / 2) / total);
        }
    }
}
