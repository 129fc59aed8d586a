// The DirectShow camera's thread: its apartment, the graph's events, the camera's life, and the
// samples into the frame path.
#include "directshow/directshow_camera.h"

#include <errors.h>  // DirectShow's own error texts

#include <cstdio>
#include <cstring>

HRESULT SampleSink::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ISampleGrabberCB)) ? this : nullptr;
    return *object ? S_OK : E_NOINTERFACE;
}

// A sample shorter than its frame (a driver may hand one over) is dropped by the intake.
HRESULT SampleSink::SampleCB(double, IMediaSample* sample) {
    BYTE* data = nullptr;
    if (sample && SUCCEEDED(sample->GetPointer(&data)) && data) {
        const long length = sample->GetActualDataLength();
        const FramePlane plane{data, length > 0 ? (size_t)length : 0, camera.rowBytes};
        camera.deliver(&plane, 1);
    }
    return S_OK;
}

DWORD WINAPI cameraThread(void* camera) {
    static_cast<DirectShowCamera*>(camera)->run();
    return 0;
}

bool DirectShowCamera::launch() {
    stopping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread = stopping && ready ? CreateThread(nullptr, 0, cameraThread, this, 0, nullptr) : nullptr;
    if (!thread) {
        noteFailure("cannot open", "the video capture device", HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    WaitForSingleObject(ready, INFINITE);
    return built;
}

void DirectShowCamera::halt() {
    if (thread) {
        SetEvent(stopping);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    for (HANDLE handle : {stopping, ready})
        if (handle) CloseHandle(handle);
    thread = stopping = ready = nullptr;
}

DirectShowCamera::~DirectShowCamera() { stop(); }

// The thread: the chain built in its apartment, then the camera's life every quarter second,
// with the graph's events and the apartment's messages between.
void DirectShowCamera::run() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    built = buildChain();
    OAEVENT events = 0;
    if (built && FAILED(mediaEvent->GetEventHandle(&events))) built = false;
    SetEvent(ready);
    DWORD nextTick = GetTickCount();
    while (built) {
        const DWORD wait = (LONG)(nextTick - GetTickCount()) > 0 ? nextTick - GetTickCount() : 0;
        const HANDLE handles[2] = {stopping, reinterpret_cast<HANDLE>(events)};
        if (MsgWaitForMultipleObjects(2, handles, FALSE, wait, QS_ALLINPUT) == WAIT_OBJECT_0) break;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        long code;
        LONG_PTR first, second;
        while (mediaEvent->GetEvent(&code, &first, &second, 0) == S_OK) {
            // EC_DEVICE_LOST's second parameter is 1 when the device is back, which the listing
            // shows anyway. A stream that stopped on an error is as good as lost.
            if ((code == EC_DEVICE_LOST && second == 0) || code == EC_ERRORABORT) streamBroken();
            mediaEvent->FreeEventParams(code, first, second);
        }
        if ((LONG)(GetTickCount() - nextTick) >= 0) {
            tick();
            nextTick = GetTickCount() + 250;
        }
    }
    releaseChain();
    CoUninitialize();
}

// "WHAT NAME: REASON", the reason in the system's words where there is no other.
void DirectShowCamera::noteFailure(const char* what, const char* name, HRESULT status, const char* why) {
    char reason[256];
    if (why)
        std::snprintf(reason, sizeof reason, "%s", why);
    else if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)status, 0, reason,
                             sizeof reason, nullptr) &&
             !AMGetErrorTextA(status, reason, sizeof reason))
        std::snprintf(reason, sizeof reason, "error 0x%08lX", (unsigned long)status);
    reason[std::strcspn(reason, "\r\n")] = '\0';
    char text[600];
    std::snprintf(text, sizeof text, "%s %s: %s", what, name, reason);
    CameraCore::noteFailure(text);
}
