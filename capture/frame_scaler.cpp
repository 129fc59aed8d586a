#include "capture/frame_scaler.h"

#include <algorithm>

// Positions are measured in units of 1/target of a pixel: target index j covers
// [start x target + j x length, ... + length), and a source sample spanning `span` pixels covers
// [i x span x target, (i + 1) x span x target).
void FrameScaler::Taps::plan(int start, int length, int span, int target) {
    first.assign(target, 0);
    count.assign(target, 0);
    weightStart.assign(target, 0);
    weights.clear();
    const long long sample = (long long)span * target;
    for (int j = 0; j < target; j++) {
        const long long from = (long long)start * target + (long long)j * length, to = from + length;
        const int firstIndex = (int)(from / sample);
        first[j] = firstIndex;
        weightStart[j] = (int)weights.size();
        for (long long i = firstIndex; i * sample < to; i++) {
            const long long overlap = std::min(to, (i + 1) * sample) - std::max(from, i * sample);
            weights.push_back((uint32_t)overlap);
            count[j]++;
        }
    }
    uniform = std::all_of(count.begin(), count.end(), [&](int n) { return n == count[0]; }) &&
              std::all_of(weights.begin(), weights.end(), [&](uint32_t w) { return w == weights[0]; });
}

FrameScaler::Middle FrameScaler::middleOf(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight) {
    int cropWidth = sourceWidth, cropHeight = sourceHeight;
    if ((long long)sourceWidth * targetHeight > (long long)sourceHeight * targetWidth)
        cropWidth = std::max(1, (int)((long long)sourceHeight * targetWidth / targetHeight));  // wider: lose the sides
    else
        cropHeight = std::max(1, (int)((long long)sourceWidth * targetHeight / targetWidth));  // taller: top and bottom
    return {(sourceWidth - cropWidth) / 2, (sourceHeight - cropHeight) / 2, cropWidth, cropHeight};
}

void FrameScaler::plan(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight, int channels, int spanX,
                       int spanY) {
    this->sourceWidth = sourceWidth;
    this->sourceHeight = sourceHeight;
    this->targetWidth = targetWidth;
    this->targetHeight = targetHeight;
    this->channels = channels;
    const Middle middle = middleOf(sourceWidth, sourceHeight, targetWidth, targetHeight);
    const int cropWidth = middle.width, cropHeight = middle.height;
    columns.plan(middle.x, cropWidth, spanX, targetWidth);
    rows.plan(middle.y, cropHeight, spanY, targetHeight);
    samplesAcross = (sourceWidth + spanX - 1) / spanX;
    firstColumn = columns.first[0];
    columnCount = columns.first.back() + columns.count.back() - firstColumn;
    // Every target's weights add up to cropWidth x cropHeight; those left out of uniform sums
    // come off the divisor.
    const uint64_t leftOutX = columns.uniform ? columns.weights[0] : 1, leftOutY = rows.uniform ? rows.weights[0] : 1;
    divisor = ((uint64_t)cropWidth / leftOutX) * ((uint64_t)cropHeight / leftOutY);
    inverse = 1.0 / (double)divisor;
    // n / divisor is (n x m) >> 32 with m = 2^32 / divisor + 1 whenever n x divisor < 2^32; the
    // largest n is a fine mean's, 256 x (255 x divisor + divisor / 2).
    reciprocal = 65536 * divisor * divisor < (1ull << 32) ? (1ull << 32) / divisor + 1 : 0;
    // Uniform rows add up whole bytes: 16 bits hold up to 257 rows of them.
    shortSums.clear();
    columnSums.clear();
    if (rows.uniform && rows.count[0] <= 257)
        shortSums.assign((size_t)columnCount * channels, 0);
    else
        columnSums.assign((size_t)columnCount * channels, 0);
}

// Down the rows first, over whole source rows (contiguous, so the compiler vectorises it), in
// 16-bit sums where they cannot overflow; then across within the one row of sums. Every sum is
// an exact integer, in any order.
template <int Channels, class Sum, class Out>
void FrameScaler::run(const unsigned char* source, int sourceRowBytes, Sum* down, Out* target, bool flipRows,
                      uint32_t fineness) const {
    const size_t rowBytes = sourceRowBytes > 0 ? (size_t)sourceRowBytes : (size_t)samplesAcross * Channels;
    const size_t sums = (size_t)columnCount * Channels;
    source += (size_t)firstColumn * Channels;
    for (int r = 0; r < targetHeight; r++) {
        const unsigned char* sourceRow = source + (size_t)rows.first[r] * rowBytes;
        const uint32_t* rowWeight = &rows.weights[rows.weightStart[r]];
        if (rows.uniform) {
            for (size_t i = 0; i < sums; i++) down[i] = sourceRow[i];
            for (int t = 1; t < rows.count[r]; t++) {
                sourceRow += rowBytes;
                for (size_t i = 0; i < sums; i++) down[i] = (Sum)(down[i] + sourceRow[i]);
            }
        } else {
            for (size_t i = 0; i < sums; i++) down[i] = (Sum)(rowWeight[0] * sourceRow[i]);
            for (int t = 1; t < rows.count[r]; t++) {
                sourceRow += rowBytes;
                for (size_t i = 0; i < sums; i++) down[i] = (Sum)(down[i] + rowWeight[t] * sourceRow[i]);
            }
        }
        Out* out = target + (size_t)(flipRows ? targetHeight - 1 - r : r) * targetWidth * Channels;
        for (int c = 0; c < targetWidth; c++, out += Channels) {
            const Sum* sample = down + (size_t)(columns.first[c] - firstColumn) * Channels;
            uint64_t sum[Channels] = {};
            if (columns.uniform) {
                for (int k = 0; k < columns.count[c]; k++, sample += Channels)
                    for (int channel = 0; channel < Channels; channel++) sum[channel] += sample[channel];
            } else {
                const uint32_t* weight = &columns.weights[columns.weightStart[c]];
                for (int k = 0; k < columns.count[c]; k++, sample += Channels)
                    for (int channel = 0; channel < Channels; channel++) sum[channel] += (uint64_t)weight[k] * sample[channel];
            }
            for (int channel = 0; channel < Channels; channel++) out[channel] = (Out)quotient(sum[channel] * fineness);
        }
    }
}

// sum / divisor, rounded half up: by a multiplication where it is exact (numerator x divisor
// below 2^32), else in double precision with a nudge, far larger than the quotient's error
// (below 2^-35) and far smaller than the least distance from a quotient that is not whole to a
// whole one (1 / divisor, with divisor below 2^27).
inline uint32_t FrameScaler::quotient(uint64_t sum) const {
    const uint64_t numerator = sum + divisor / 2;
    return reciprocal ? (uint32_t)((numerator * reciprocal) >> 32) : (uint32_t)((double)numerator * inverse + 1e-9);
}

template <class Out>
void FrameScaler::dispatch(const unsigned char* source, int sourceRowBytes, Out* target, bool flipRows,
                           uint32_t fineness) const {
    if (!shortSums.empty() && channels == 3)
        run<3>(source, sourceRowBytes, shortSums.data(), target, flipRows, fineness);
    else if (!shortSums.empty())
        run<1>(source, sourceRowBytes, shortSums.data(), target, flipRows, fineness);
    else if (channels == 3)
        run<3>(source, sourceRowBytes, columnSums.data(), target, flipRows, fineness);
    else
        run<1>(source, sourceRowBytes, columnSums.data(), target, flipRows, fineness);
}

void FrameScaler::scale(const unsigned char* source, unsigned char* target, bool flipRows, int sourceRowBytes) const {
    dispatch(source, sourceRowBytes, target, flipRows, 1);
}

void FrameScaler::scaleFine(const unsigned char* source, uint16_t* target, int sourceRowBytes) const {
    dispatch(source, sourceRowBytes, target, false, 256);
}
