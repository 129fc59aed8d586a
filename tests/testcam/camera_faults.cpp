#include "tests/testcam/camera_faults.h"

#include <cstring>

#include "platform/v4l2_camera.h"
#include "tests/fake_v4l2.h"

// Never destroyed: the camera's thread may still be using it while the process exits.
static FakeV4l2& kernel = *new FakeV4l2;

// A slowly changing YUYV picture.
static size_t movingStripes(const v4l2_pix_format& pix, unsigned char* data, size_t, long n) {
    for (uint32_t y = 0; y < pix.height; y++)
        for (uint32_t x = 0; x < pix.width * 2; x += 2) {
            data[y * pix.bytesperline + x] = (unsigned char)(((x / 2 + n) / 8 % 2) ? 200 : 40);
            data[y * pix.bytesperline + x + 1] = 128;
        }
    return pix.sizeimage;
}

bool installCameraFault(const char* name) {
    FakeNode& node = kernel.add("/dev/video0");
    node.fill = movingStripes;
    if (!std::strcmp(name, "other-size-larger") || !std::strcmp(name, "other-size-smaller")) {
        // Says 160 x 120, then fills its buffers as if it were another size.
        const bool larger = name[11] == 'l';
        node.fill = [larger](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
            movingStripes(pix, data, size, n);
            return larger ? size + 320 * 240 * 2 : (size_t)(80 * 60 * 2);
        };
    } else if (!std::strcmp(name, "vanish-before-open")) {
        // Seen while the devices are listed (two opens), gone when the camera is opened.
        node.presentForOpens = 2;
    } else {
        return false;
    }
    platform::useV4l2System(&kernel);
    platform::videoDeviceListers() = {platform::listV4l2Cameras};
    return true;
}
