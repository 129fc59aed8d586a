// The Windows camera: the first video input device, through a sample grabber that keeps the
// newest 24-bit RGB frame, into a null renderer, on Windows' own COM and DirectShow. A device
// lost while running (EC_DEVICE_LOST) is bound afresh and the chain rebuilt around the same
// grabber, on a thread that watches the graph's events.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include <atomic>

#include "capture/camera.h"
#include "capture/frame_scaler.h"

// qedit.h declares the sample grabber's interface but not these two classes; strmiids
// defines them.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

class DirectShowCamera final : public Camera {
public:
    ~DirectShowCamera() override;

    bool start(int width, int height) override;
    bool copyFrame(unsigned char* frame) override;
    const char* name() const override { return deviceName; }
    const char* failure() const override { return failureText; }

    HRESULT startCapture(int width, int height);
    IPin* pinOf(IBaseFilter* filter, PIN_DIRECTION direction);
    HRESULT findPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin);
    HRESULT connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream);

    IGraphBuilder* graph = nullptr;
    IMoniker* moniker = nullptr;
    IBaseFilter* source = nullptr;
    ICreateDevEnum* devEnum = nullptr;
    IAMStreamConfig* streamConfig = nullptr;
    IBaseFilter* grabberFilter = nullptr;
    ISampleGrabber* grabber = nullptr;
    IBaseFilter* nullRenderer = nullptr;

    // What the grabber connected at: the frame's own size, or the camera's when it could not
    // give that; and the time between frames (100 ns units).
    int connectedWidth = 0, connectedHeight = 0;
    long long connectedFrameTime = 0;

private:
    // Steps of the chain that a rebuild repeats: the first device bound, and the device's
    // output asked for the frame size and connected to the grabber.
    HRESULT bindFirstDevice(IBaseFilter** device);
    HRESULT connectSource();
    void renderPreview();
    HRESULT create(REFCLSID type, DWORD context, REFIID iid, void** object, const char* what);
    // When the grabber connected at another size than the frame's (a camera that cannot give
    // it), each copy lands here first and is scaled into the frame.
    void planConnectedSize();
    void describeFailure(const char* what, HRESULT status, const char* name);

    int width = 0, height = 0;
    long frameBytes = 0;
    unsigned char* connectedFrame = nullptr;
    long connectedBytes = 0;
    int connectedRowBytes = 0;
    bool connectedTopDown = false;
    FrameScaler connectedScaler;

    bool connectFailed = false;
    const char* missing = nullptr;  // the object that could not be created
    char deviceName[256] = {};
    char failureText[512] = {};
    // copyFrame() copies only while no rebuild holds the grabber, and a rebuild starts only
    // once no copy is under way: copyFrame() itself never waits.
    std::atomic<bool> copying{false}, rebuilding{false};

    // The watch for a lost camera (device_watch.cpp).
    void startWatching();
    void watchDevice();
    HRESULT rebuildChain();
    friend DWORD WINAPI watchGraph(void* camera);
    IMediaEventEx* mediaEvent = nullptr;
    HANDLE watcher = nullptr, stopWatching = nullptr;

    // References kept beyond the fields above, released only by the destructor.
    ICaptureGraphBuilder2* builder = nullptr;
    IMediaControl* control = nullptr;
    IPin* sourceOut = nullptr;
    IPin* grabberIn = nullptr;
    IBaseFilter* previewRenderer = nullptr;
};
