// Scales 24-bit frames by area averaging: each output pixel is the mean of the source area it
// covers, every source pixel weighted by how much of it lies inside. Exact integer weights;
// an output of a quarter the width and height is the rounded mean of 4 x 4 blocks. A source
// of another shape (a 16:9 camera for a 4:3 frame) gives up its edges, never its proportions:
// only its middle, of the target's shape, is scaled.
#pragma once

#include <cstdint>
#include <vector>

class FrameScaler {
public:
    // Plans the scaling once; scale() then allocates nothing.
    void plan(int sourceWidth, int sourceHeight, int targetWidth, int targetHeight);
    bool planned() const { return sourceWidth > 0; }

    // Packed 3-byte pixels; source rows are sourceRowBytes apart (0: no padding), target rows
    // have none. flipRows turns a top-down source into a bottom-up target (or the other way
    // round).
    void scale(const unsigned char* source, unsigned char* target, bool flipRows, int sourceRowBytes = 0) const;

    int sourceWidth = 0, sourceHeight = 0, targetWidth = 0, targetHeight = 0;

private:
    // The part of the source that is scaled: the middle, of the target's shape.
    int cropX = 0, cropY = 0, cropWidth = 0, cropHeight = 0;
    // For each target column (or row): the first source index it covers and how many, with
    // one weight each in a flat list. Weights of one target index sum to the source size.
    struct Taps {
        std::vector<int> first, count, weightStart;
        std::vector<uint32_t> weights;
        void plan(int source, int target);
    };
    Taps columns, rows;
    mutable std::vector<uint32_t> columnSums;  // one target row's source rows, weighted and added
};
