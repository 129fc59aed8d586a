// The Windows camera: the first usable video input device, through a sample grabber that keeps
// the newest 24-bit RGB frame, into a null renderer, on Windows' own COM and DirectShow. A device
// that cannot be bound, connected to the grabber or run, or that sends nothing within two seconds
// of running, is taken out of the graph again and the next one tried; a grey-only one only when
// no colour one works. A thread of the camera's own watches the graph: a device lost
// (EC_DEVICE_LOST, EC_ERRORABORT, a failed Run, or two seconds without a sample) is bound afresh,
// the same device whenever it is listed, after two seconds the first usable other one, and the
// chain rebuilt around the same grabber.
#pragma once

// The standard library first: dshow.h brings strsafe.h, which takes away what <string> uses.
#include <atomic>
#include <string>
#include <vector>

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "capture/camera.h"
#include "capture/frame_scaler.h"

// qedit.h declares the sample grabber's interface but not these two classes; strmiids
// defines them.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

// Counts the samples the grabber passes on, on the stream's own thread: how a device that runs
// and sends nothing is told from one that sends.
class SampleCounter final : public ISampleGrabberCB {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // the camera's own member
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample*) override;
    HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE*, long) override { return S_OK; }
    std::atomic<long> samples{0};
};

class DirectShowCamera final : public Camera {
public:
    ~DirectShowCamera() override;

    bool start(int width, int height) override;
    bool copyFrame(unsigned char* frame) override;
    const char* name() const override { return deviceName; }
    const char* failure() const override { return failureText; }
    const char* cameraSystem() const override { return "directshow"; }

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
    // A video input device as the category lists it: its moniker (held), its friendly name, and
    // its device path (or, for a device with none, its moniker's display name).
    struct Device {
        IMoniker* moniker;
        char name[256];
        std::wstring path;
    };
    HRESULT listDevices(std::vector<Device>* devices);
    static void releaseDevices(std::vector<Device>& devices);
    // Binds a device and connects it to the grabber, asked for the frame size, and runs it; with
    // waitForSample, only once a sample has come. True with it running; else it is out of the
    // graph again, the first such failure noted, and *greyOnly says whether it was passed over
    // only for being grey.
    bool useDevice(const Device& device, bool allowGrey, bool waitForSample, bool* greyOnly);
    bool useFirstUsable(const std::vector<Device>& devices);
    void dropDevice();  // out of the graph, with whatever the graph put in for it
    bool listsOnlyGrey();
    HRESULT connectSource();
    void renderPreview();
    HRESULT create(REFCLSID type, DWORD context, REFIID iid, void** object, const char* what);
    // When the grabber connected at another size than the frame's (a camera that cannot give
    // it), top-down, or with padded rows, each copy lands here first and is scaled into the frame.
    void planConnectedSize();
    void noteFailure(const Device& device, const char* what, HRESULT status, const char* reason = nullptr);
    void describeFailure(const char* what, HRESULT status, const char* name, const char* reason);

    int width = 0, height = 0;
    long frameBytes = 0;
    unsigned char* connectedFrame = nullptr;
    long connectedBytes = 0;
    int connectedRowBytes = 0;
    bool connectedTopDown = false;
    FrameScaler connectedScaler;
    bool rendererConnected = false;
    SampleCounter counter;

    const char* missing = nullptr;  // the object that could not be created
    char deviceName[256] = {};
    std::wstring devicePath;  // of the device in use: the one bound again after a loss
    // The first device that could not be used, and why.
    struct {
        bool noted = false;
        char name[256];
        const char* what;
        HRESULT status;
        const char* reason;  // the system's words for status where null
    } firstFailure;
    char failureText[512] = {};
    // copyFrame() copies only while no rebuild holds the grabber, and a rebuild starts only
    // once no copy is under way: copyFrame() itself never waits.
    std::atomic<bool> copying{false}, rebuilding{false};

    // The watch for a lost camera (device_watch.cpp).
    void startWatching();
    void watchDevice();
    HRESULT rebuildChain(bool sameOnly);
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
