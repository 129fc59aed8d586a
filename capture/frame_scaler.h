// Scales frames by area averaging: each output sample is the mean of the source area it covers,
// every source sample weighted by how much of it lies inside. Exact integer weights; an output
// of a quarter the width and height is the rounded mean of 4 x 4 blocks. A source of another
// shape (a 16:9 camera for a 4:3 frame) gives up its edges, never its proportions: only its
// middle, of the target's shape, is scaled. The same code scales on every system, so the
// displays of both come out byte for byte alike.
#pragma once

#include <cstdint>
#include <vector>

class FrameScaler {
public:
    // Plans the scaling once; scale() then allocates nothing. The source is sourceWidth x
    // sourceHeight pixels of `channels` (1 or 3) interleaved bytes; each of its samples may cover spanX x
    // spanY pixels (2 x 1 for the chroma of 4:2:2 Y'CbCr, 2 x 2 for 4:2:0), so that every plane
    // of a frame is scaled from the same middle to the same target.
    // The middle of a source of the target's shape, in whole source pixels: where it starts and
    // how large it is.
    struct Middle {
        int x, y, width, height;
    };
    static Middle middleOf(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);
    void plan(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight, int channels = 3, int spanX = 1,
              int spanY = 1);
    bool planned() const { return sourceWidth > 0; }

    // Means rounded to whole levels; source rows are sourceRowBytes apart (0: no padding),
    // target rows have none. flipRows turns a top-down source into a bottom-up target (or the
    // other way round).
    void scale(const unsigned char* source, unsigned char* target, bool flipRows, int sourceRowBytes = 0) const;
    // Means in 1/256 of a level, rows in the source's order: planes that are converted further
    // before they are rounded.
    void scaleFine(const unsigned char* source, uint16_t* target, int sourceRowBytes = 0) const;

    int sourceWidth = 0, sourceHeight = 0, targetWidth = 0, targetHeight = 0;

private:
    // Means times fineness (1 or 256) into target.
    template <int Channels, class Sum, class Out>
    void run(const unsigned char* source, int sourceRowBytes, Sum* down, Out* target, bool flipRows,
             uint32_t fineness) const;
    template <class Out>
    void dispatch(const unsigned char* source, int sourceRowBytes, Out* target, bool flipRows, uint32_t fineness) const;
    uint32_t quotient(uint64_t sum) const;

    int channels = 3, samplesAcross = 0;
    // For each target column (or row): the first source sample it covers and how many, with one
    // weight each in a flat list. Weights of one target index sum to the length of the middle
    // scaled, in pixels times the target's size. Where every index takes as many samples of
    // equal weight (whole ratios, the usual case), the weights are left out of the sums.
    struct Taps {
        std::vector<int> first, count, weightStart;
        std::vector<uint32_t> weights;
        bool uniform = false;
        void plan(int start, int length, int span, int target);
    };
    Taps columns, rows;
    int firstColumn = 0, columnCount = 0;  // the source samples across that any target takes
    uint64_t divisor = 1;                   // of a target's sum, for its mean
    double inverse = 1;                     // 1 / divisor
    uint64_t reciprocal = 0;                // 2^32 / divisor + 1, where it divides exactly
    // One target row's source rows, weighted and added: in 16 bits where they fit.
    mutable std::vector<uint32_t> columnSums;
    mutable std::vector<uint16_t> shortSums;
};
