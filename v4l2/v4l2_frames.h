// How the V4L2 camera reads what a driver says of its frames: the formats the frame intake reads,
// by their V4L2 codes, and a format agreed (its size, layout, stride and colour) as the intake
// takes it. Plain code over the kernel's types, with no device.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>

#include "capture/frame_intake.h"

// The intake's layout for a V4L2 pixel format, or null for one it does not read.
const PixelLayout* layoutOfFourcc(uint32_t fourcc);

// The format agreed, as the intake takes it: the Y'CbCr matrix the driver states, or where it
// leaves that to the colour space the one the kernel's own map gives it; full range where it
// says so, or its colour space is JPEG's. False for a format the intake does not read.
bool frameFormatOf(const v4l2_pix_format& pix, FrameFormat* format);
// A buffer's frame, as the intake takes it: every plane in one, rows bytesperline apart.
FramePlane planeOf(const v4l2_pix_format& pix, const unsigned char* data, size_t bytesUsed);
