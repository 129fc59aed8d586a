// A camera lost while running, on Windows: DirectShow tells the graph (EC_DEVICE_LOST, or
// EC_ERRORABORT when the stream stopped on an error), or the camera just stops sending (a call
// took it, a driver stalled). A thread of the camera's own watches the graph's events and the
// samples; from the loss on it tries every quarter second to bind the same device (by its device
// path) once it is listed again, and after two seconds the first usable other one, rebuilding the
// chain around the same grabber. The frame loop meanwhile copies nothing and shows the last
// picture, and never waits for any of it.
#include "directshow/directshow_camera.h"

#include "capture/camera_walk.h"

static const DWORD retryMilliseconds = 250;
// Nothing sent for this long is a lost camera; a camera lost for this long gives way to another.
static const DWORD givesUpAfterMs = 2000;

DWORD WINAPI watchGraph(void* camera) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<DirectShowCamera*>(camera)->watchDevice();
    CoUninitialize();
    return 0;
}

void DirectShowCamera::startWatching() {
    if (FAILED(graph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(&mediaEvent)))) return;
    stopWatching = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    watcher = CreateThread(nullptr, 0, watchGraph, this, 0, nullptr);
}

void DirectShowCamera::watchDevice() {
    OAEVENT queued = 0;
    if (FAILED(mediaEvent->GetEventHandle(&queued))) return;
    bool lost = false;
    long samples = counter.samples;
    DWORD lastSampleAt = GetTickCount(), lostAt = 0;
    for (;;) {
        const HANDLE handles[2] = {stopWatching, reinterpret_cast<HANDLE>(queued)};
        if (WaitForMultipleObjects(2, handles, FALSE, retryMilliseconds) == WAIT_OBJECT_0) return;
        long code;
        LONG_PTR first, second;
        while (mediaEvent->GetEvent(&code, &first, &second, 0) == S_OK) {
            // EC_DEVICE_LOST's second parameter is 1 when the device is back, which a retry
            // finds anyway. A stream that stopped on an error is as good as lost.
            if ((code == EC_DEVICE_LOST && second == 0) || code == EC_ERRORABORT) lost = true;
            mediaEvent->FreeEventParams(code, first, second);
        }
        const DWORD now = GetTickCount();
        if (counter.samples != samples) {  // frames are coming: whatever was lost is found
            samples = counter.samples;
            lastSampleAt = now;
            lostAt = 0;
        } else if (now - lastSampleAt >= givesUpAfterMs) {
            lost = true;
        }
        if (!lost) continue;
        if (!lostAt) lostAt = now;
        if (SUCCEEDED(rebuildChain(now - lostAt < givesUpAfterMs))) {
            lost = false;
            lastSampleAt = GetTickCount();
        }
    }
}

// The same device again (sameOnly), or the first usable one of all; the chain around the same
// grabber. The lost device and whatever the graph put in for it go first.
HRESULT DirectShowCamera::rebuildChain(bool sameOnly) {
    std::vector<Device> devices;
    HRESULT status = listDevices(&devices);
    int same = -1;
    for (size_t i = 0; i < devices.size(); i++)
        if (devices[i].path == devicePath) same = (int)i;
    if (FAILED(status) || (sameOnly && same < 0)) {  // still gone
        releaseDevices(devices);
        return FAILED(status) ? status : VFW_E_NO_CAPTURE_HARDWARE;
    }
    rebuilding = true;
    while (copying) Sleep(0);  // a copy under way finishes first; later ones stand aside
    dropDevice();
    bool greyOnly = false;
    // The camera back may be another one, or send at another size: chosen and planned afresh.
    const bool started = sameOnly ? useDevice(devices[same], true, false, &greyOnly) : useFirstUsable(devices);
    rebuilding = false;
    releaseDevices(devices);
    return started ? S_OK : E_FAIL;
}
