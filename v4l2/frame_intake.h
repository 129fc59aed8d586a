// What becomes of each buffer a V4L2 camera fills: checked, converted to blue-green-red (the
// Y'CbCr formats webcams send by our own decoder, every other format by libv4lconvert), scaled
// to the size asked for and turned bottom-up. Buffers that arrive short, flagged as errors, or
// as JPEGs without their end are dropped, never read past their length.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <vector>

#include "capture/frame_scaler.h"
#include "v4l2/ycbcr_decoder.h"
#include "v4l2/v4l2_system.h"

struct v4lconvert_data;

// libv4lconvert for a device, asking its questions through the seam.
v4lconvert_data* newConverter(V4l2System& system, int fd);

class FrameIntake {
public:
    // camera: what the device sends; width x height: what comes out. Allocates here only.
    void configure(v4lconvert_data* converter, const v4l2_format& camera, int width, int height);
    // The frame made from `used` bytes of a buffer `length` long, or null when it is dropped.
    // The frame stays valid until the next call.
    const unsigned char* take(unsigned char* data, size_t used, size_t length, uint32_t flags);
    size_t frameBytes() const { return scaled.size(); }

private:
    v4lconvert_data* converter = nullptr;
    v4l2_format cameraFormat{}, convertedFormat{};
    std::vector<unsigned char> converted, scaled;
    FrameScaler scaler;
    YcbcrDecoder ycbcr;
    bool decodedHere = false;  // by ycbcr, not libv4lconvert
    size_t wholeBytes = 0;     // the least a whole uncompressed frame takes
};
