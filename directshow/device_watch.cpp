// A camera lost while running, on Windows: DirectShow tells the graph (EC_DEVICE_LOST), and the
// filter it was is dead for good. A thread of the camera's own watches the graph's events; from
// the loss on it tries every quarter second to bind the first video input device again, and
// when one binds, rebuilds the chain around the same grabber. The frame loop meanwhile copies
// nothing and shows the last picture.
#include "directshow/directshow_camera.h"

static const DWORD retryMilliseconds = 250;

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
    for (;;) {
        const HANDLE handles[2] = {stopWatching, reinterpret_cast<HANDLE>(queued)};
        if (WaitForMultipleObjects(2, handles, FALSE, lost ? retryMilliseconds : INFINITE) == WAIT_OBJECT_0) return;
        long code;
        LONG_PTR first, second;
        while (mediaEvent->GetEvent(&code, &first, &second, 0) == S_OK) {
            // EC_DEVICE_LOST's second parameter is 1 when the device is back, which a retry
            // finds anyway. A stream that stopped on an error is as good as lost.
            if ((code == EC_DEVICE_LOST && second == 0) || code == EC_ERRORABORT) lost = true;
            mediaEvent->FreeEventParams(code, first, second);
        }
        if (lost && SUCCEEDED(rebuildChain())) lost = false;
    }
}

HRESULT DirectShowCamera::rebuildChain() {
    IBaseFilter* fresh = nullptr;
    HRESULT status = bindFirstDevice(&fresh);
    if (FAILED(status)) return status;  // still gone

    rebuilding = true;
    while (copying) Sleep(0);  // a copy under way finishes first; later ones stand aside
    control->Stop();
    // Out with the lost device and whatever the graph put between it and the grabber.
    IEnumFilters* filters = nullptr;
    IBaseFilter* stale[16];
    int staleCount = 0;
    if (SUCCEEDED(graph->EnumFilters(&filters))) {
        IBaseFilter* filter = nullptr;
        while (staleCount < 16 && filters->Next(1, &filter, nullptr) == S_OK) {
            if (filter != grabberFilter && filter != nullRenderer && filter != previewRenderer)
                stale[staleCount++] = filter;
            else
                filter->Release();
        }
        filters->Release();
    }
    for (int i = 0; i < staleCount; i++) {
        graph->RemoveFilter(stale[i]);
        stale[i]->Release();
    }
    IUnknown* old[] = {sourceOut, source};
    for (IUnknown* object : old)
        if (object) object->Release();

    source = fresh;
    graph->AddFilter(source, L"Video Capture");
    sourceOut = pinOf(source, PINDIR_OUTPUT);
    // The camera back may be another one, or send at another size: chosen and planned afresh.
    status = connectSource();
    if (SUCCEEDED(status)) {
        planConnectedSize();
        renderPreview();
        status = control->Run();
    }
    rebuilding = false;
    return status;
}
