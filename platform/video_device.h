// Video input devices as the platform's device enumerator sees them. Each kind of device
// (a V4L2 camera, the test camera that plays a file, a test's in-memory source) implements
// VideoDevice; listers put the devices they find, in order, into the list that
// CreateClassEnumerator(CLSID_VideoInputDeviceCategory) walks.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/com.h"

namespace platform {

// Where a running device hands its frames: packed 3-byte pixels, blue, green, red, rows
// bottom-up, exactly the size the device was started with. May be called on any thread.
class FrameSink {
public:
    virtual void deliverFrame(const unsigned char* bgrBottomUp, size_t bytes) = 0;

protected:
    ~FrameSink() = default;
};

class VideoDevice {
public:
    virtual ~VideoDevice() = default;
    // How the device is known to the user ("/dev/video0").
    virtual std::string name() const = 0;
    // Binding the device's moniker opens it; a failure here fails BindToObject.
    virtual HRESULT open() { return S_OK; }
    // The device's own frame size, as its stream config reports it before any change.
    virtual void nativeSize(int* width, int* height) const = 0;
    // Whether the stream config describes the device with a VIDEOINFOHEADER (every camera of
    // this platform does; a test device may not).
    virtual bool reportsVideoInfo() const { return true; }
    // Start delivering frames of exactly width x height to sink until stop(). Whatever the
    // camera gives is converted and scaled here; the caller never waits on the camera.
    virtual HRESULT start(int width, int height, FrameSink* sink) = 0;
    virtual void stop() {}
    // Called each time the consumer copies a frame; a device paced by its consumer (the
    // test camera) delivers its next frame here, a free-running camera does nothing.
    virtual void framePulled() {}
};

using VideoDeviceList = std::vector<std::shared_ptr<VideoDevice>>;
using VideoDeviceLister = void (*)(VideoDeviceList* devices);

// The listers the device enumerator consults, in order. The platform's own camera lister is
// there from the start; test programs put their devices in front or replace the list.
std::vector<VideoDeviceLister>& videoDeviceListers();
std::vector<VideoDeviceLister> defaultVideoDeviceListers();

VideoDeviceList listVideoDevices();

}  // namespace platform
