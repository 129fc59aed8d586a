// What the frame intake's parts share about layouts: which family each is of, and whether a
// plane holds all the rows it should.
#pragma once

#include <cstddef>

#include "capture/frame_intake.h"

namespace intake {

inline bool packed422(PixelLayout l) {
    return l == PixelLayout::yuyv || l == PixelLayout::yvyu || l == PixelLayout::uyvy || l == PixelLayout::vyuy;
}
inline bool semiPlanar(PixelLayout l) {
    return l == PixelLayout::nv12 || l == PixelLayout::nv21 || l == PixelLayout::nv16 || l == PixelLayout::nv61;
}
inline bool planar(PixelLayout l) { return l == PixelLayout::yu12 || l == PixelLayout::yv12; }
inline bool fourTwoZero(PixelLayout l) { return l == PixelLayout::nv12 || l == PixelLayout::nv21 || planar(l); }
// Cr before Cb, where the layout's name says so.
inline bool crFirst(PixelLayout l) {
    return l == PixelLayout::yvyu || l == PixelLayout::vyuy || l == PixelLayout::nv21 || l == PixelLayout::nv61 ||
           l == PixelLayout::yv12;
}

// Where a plane's rows lie in a buffer, and whether all of them are there.
struct PlaneShape {
    size_t rowBytes, rows;  // the bytes a row holds, and how many rows
};

inline bool fits(const FramePlane& plane, const PlaneShape& shape, size_t* stride) {
    *stride = plane.rowBytes ? plane.rowBytes : shape.rowBytes;
    return plane.data && *stride >= shape.rowBytes && shape.rows > 0 &&
           plane.bytes >= *stride * (shape.rows - 1) + shape.rowBytes;
}

}  // namespace intake
