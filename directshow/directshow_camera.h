// The Windows camera: the video input devices of DirectShow, through COM, as a camera system's
// primitives. It lists the devices in the category's order, each known by its device path;
// opens one on its capture pin in the format the shared choice picks from those the pin lists,
// connected to a sample grabber that asks for 24-bit RGB and into a null renderer, and runs it;
// each sample reaches the shared frame path from the grabber's callback.
//
// Everything COM is done on one thread of the camera's own, a single-threaded apartment with a
// message pump: the graph is built, run, watched (its events: a device lost, a stream stopped
// on an error) and rebuilt there, and the main thread touches no COM object after start-up.
// A single-threaded apartment, because filters registered as apartment-threaded (many vendors'
// and virtual cameras) are then created in it and called directly; from a multithreaded one COM
// would create them in an apartment of its own and hand back proxies that DirectShow's
// interfaces, with their raw buffers and media types, have no marshalling for.
#pragma once

// The standard library first: dshow.h brings strsafe.h, which takes away what <string> uses.
#include <atomic>
#include <string>
#include <vector>

#include <windows.h>
#include <dshow.h>
#include <qedit.h>

#include "capture/camera_core.h"

// qedit.h declares the sample grabber's interface but not these two classes; strmiids
// defines them.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;

class DirectShowCamera;

// Hands each sample the grabber passes on to the frame path, on the stream's own thread.
class SampleSink final : public ISampleGrabberCB {
public:
    explicit SampleSink(DirectShowCamera& camera) : camera(camera) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // the camera's own member
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample* sample) override;
    HRESULT STDMETHODCALLTYPE BufferCB(double, BYTE*, long) override { return S_OK; }

private:
    DirectShowCamera& camera;
};

class DirectShowCamera final : public CameraCore {
public:
    DirectShowCamera() : sink(*this) {}
    ~DirectShowCamera() override;

    const char* cameraSystem() const override { return "directshow"; }

    IPin* pinOf(IBaseFilter* filter, PIN_DIRECTION direction);
    HRESULT findPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin);
    HRESULT connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream);

    // The chain's objects, on the camera's thread (tests look at them once the camera sends).
    IGraphBuilder* graph = nullptr;
    IBaseFilter* source = nullptr;
    IAMStreamConfig* streamConfig = nullptr;
    IBaseFilter* grabberFilter = nullptr;
    ISampleGrabber* grabber = nullptr;
    IBaseFilter* nullRenderer = nullptr;

private:
    friend class SampleSink;
    friend DWORD WINAPI cameraThread(void* camera);
    // A video input device as the category lists it: its moniker (held), its friendly name, and
    // its device path (or, for a device with none, its moniker's display name).
    struct Device {
        IMoniker* moniker;
        char name[256];
        std::wstring path;
    };

    bool launch() override;
    void halt() override;
    bool list(std::vector<std::string>* identities, bool looking) override;
    CameraTried open(int index, bool allowGrey) override;
    void close() override;

    bool buildChain();  // the graph, the grabber and the renderer, once; false with what is missing noted
    void releaseChain();
    void run();         // the thread
    void releaseDevices();
    bool listsOnlyGrey();
    HRESULT connectSource();
    void renderPreview();
    bool planFrames();
    HRESULT create(REFCLSID type, DWORD context, REFIID iid, void** object, const char* what);
    void noteFailure(const char* what, const char* name, HRESULT status, const char* reason = nullptr);

    SampleSink sink;
    std::vector<Device> devices;  // as listed last
    size_t rowBytes = 0;          // of the samples the grabber passes on
    bool rendererConnected = false;
    ICaptureGraphBuilder2* builder = nullptr;
    IMediaControl* control = nullptr;
    IMediaEventEx* mediaEvent = nullptr;
    IPin* sourceOut = nullptr;
    IPin* grabberIn = nullptr;
    IBaseFilter* previewRenderer = nullptr;
    HANDLE thread = nullptr, stopping = nullptr, ready = nullptr;
    std::atomic<bool> built{false};
};
