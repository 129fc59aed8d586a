// The frame intake where neither libyuv nor libjpeg-turbo is linked (Windows, whose cameras
// reach the grabber as RGB): Y'CbCr and JPEG formats are not taken.
#include "capture/frame_intake.h"

FrameIntake::~FrameIntake() = default;
bool FrameIntake::configureYcbcr() { return false; }
bool FrameIntake::configureJpeg() { return false; }
const unsigned char* FrameIntake::takeYcbcr(const FramePlane*, int) { return nullptr; }
const unsigned char* FrameIntake::takeJpeg(const FramePlane&) { return nullptr; }
