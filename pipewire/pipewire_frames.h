// PipeWire's formats and buffers, as the PipeWire camera reads and asks for them: what a camera
// node offers (its EnumFormat parameters), the one format to ask its stream for, the format
// agreed, and each buffer's planes. Plain code over PipeWire's types, with no connection.
#pragma once

#include <spa/buffer/buffer.h>
#include <spa/pod/builder.h>
#include <spa/pod/pod.h>

#include <cstdint>
#include <vector>

#include "capture/camera_mode.h"
#include "capture/frame_intake.h"

// One way a node can send, and what to ask for to get it: a raw format or MJPEG, a size, a rate.
struct OfferedMode {
    CameraMode mode;      // as the shared choice weighs it
    PixelLayout layout;
    uint32_t spaFormat;   // a raw video format; 0 for MJPEG
    uint32_t rate[2];     // frames per second as a fraction; 0/1 when the node lists none
};

// Adds the modes one EnumFormat parameter offers in the formats the intake reads; a size or
// rate the node takes from a range is the one the shared rule would take for width x height.
void addOfferedModes(const spa_pod* param, int width, int height, std::vector<OfferedMode>* modes);
// The one format to ask the stream for: the mode chosen, every value fixed.
const spa_pod* formatFor(const OfferedMode& mode, spa_pod_builder* builder);
// The format agreed, as the intake takes it; false for one it cannot read.
bool frameFormatOf(const spa_pod* format, FrameFormat* frame, uint32_t rate[2]);
// The planes of a buffer (the number of them), or 0 for a buffer flagged corrupted, empty, or
// whose chunks do not lie within their memory.
int planesOf(const spa_buffer* buffer, FramePlane planes[3]);
