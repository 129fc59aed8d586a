// The DirectShow camera as the grid sees it: started, asked for frames, and named.
#include "directshow/directshow_camera.h"

#include <errors.h>  // DirectShow's own error texts

#include <cstdio>
#include <cstring>

bool DirectShowCamera::start(int width, int height) {
    frameBytes = 3L * width * height;
    const HRESULT status = startCapture(width, height);
    if (FAILED(status)) {
        if (status == VFW_E_NO_CAPTURE_HARDWARE)
            std::snprintf(failureText, sizeof failureText, "no video capture device found");
        else if (missing)
            describeFailure("cannot create", status, missing, nullptr);
        else if (firstFailure.noted)
            describeFailure(firstFailure.what, firstFailure.status, firstFailure.name, firstFailure.reason);
        else
            describeFailure("cannot open", status, "the video capture device", nullptr);
        return false;
    }
    startWatching();
    return true;
}

// "WHAT NAME: REASON", the reason in the system's words where there is no other.
void DirectShowCamera::describeFailure(const char* what, HRESULT status, const char* name, const char* why) {
    char reason[256];
    if (why)
        std::snprintf(reason, sizeof reason, "%s", why);
    else if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)status, 0, reason,
                             sizeof reason, nullptr) &&
             !AMGetErrorTextA(status, reason, sizeof reason))
        std::snprintf(reason, sizeof reason, "error 0x%08lX", (unsigned long)status);
    reason[std::strcspn(reason, "\r\n")] = '\0';
    std::snprintf(failureText, sizeof failureText, "%s %s: %s", what, name, reason);
}

// A camera that cannot give the frame size connects at its own: learn that size (for every
// device the chain is built for) and scale every copy down (or up) to the frame's, turning
// top-down frames over and stepping over padded rows.
void DirectShowCamera::planConnectedSize() {
    delete[] connectedFrame;
    connectedFrame = nullptr;
    AM_MEDIA_TYPE type;
    std::memset(&type, 0, sizeof type);
    if (FAILED(grabber->GetConnectedMediaType(&type))) return;
    if (IsEqualGUID(type.formattype, FORMAT_VideoInfo) && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const BITMAPINFOHEADER& header = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->bmiHeader;
        connectedWidth = header.biWidth;
        connectedHeight = header.biHeight < 0 ? -header.biHeight : header.biHeight;
        connectedFrameTime = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat)->AvgTimePerFrame;
        // Frames of another size, top-down, or with rows padded to whole words come through here.
        const bool asIs = connectedWidth == width && connectedHeight == height && header.biHeight > 0 && width % 4 == 0;
        if (!asIs && header.biBitCount == 24 && connectedWidth > 0 && connectedHeight > 0 && connectedWidth <= 8192 &&
            connectedHeight <= 8192) {
            connectedRowBytes = (connectedWidth * 3 + 3) & ~3;  // rows are padded to whole words
            connectedBytes = (long)connectedRowBytes * connectedHeight;
            connectedFrame = new unsigned char[connectedBytes]();
            connectedTopDown = header.biHeight < 0;
            connectedScaler.plan(connectedWidth, connectedHeight, width, height);
        }
    }
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
    if (type.pUnk) type.pUnk->Release();
}

bool DirectShowCamera::copyFrame(unsigned char* frame) {
    bool copied = false;
    copying = true;
    if (rebuilding) {
        // the camera is being bound afresh: the picture holds
    } else if (connectedFrame) {
        long bytes = connectedBytes;
        if (grabber->GetCurrentBuffer(&bytes, reinterpret_cast<long*>(connectedFrame)) == S_OK && bytes == connectedBytes) {
            connectedScaler.scale(connectedFrame, frame, connectedTopDown, connectedRowBytes);
            copied = true;
        }
    } else if (grabber) {
        // Asked with the whole frame each time: a short frame written back would otherwise
        // refuse every later full one.
        long bytes = frameBytes;
        copied = grabber->GetCurrentBuffer(&bytes, reinterpret_cast<long*>(frame)) == S_OK;
    }
    copying = false;
    return copied;
}

DirectShowCamera::~DirectShowCamera() {
    if (watcher) {
        SetEvent(stopWatching);
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
        CloseHandle(stopWatching);
    }
    if (mediaEvent) mediaEvent->Release();
    if (control) control->Stop();
    if (grabber) grabber->SetCallback(nullptr, 0);
    IUnknown* held[] = {control, builder, grabberIn, sourceOut, previewRenderer, nullRenderer, grabber,
                        grabberFilter, streamConfig, source, graph};
    for (IUnknown* object : held)
        if (object) object->Release();
    delete[] connectedFrame;
}
