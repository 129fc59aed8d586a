// The capture chain: the first video input device, through a sample grabber that keeps the
// newest 24-bit RGB frame, into a null renderer.
#include "directshow/directshow_camera.h"

#include <cstring>

static const DWORD inprocServerOrHandler = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;

// Remembers the device's friendly name, the one the system's device lists show, for messages.
static void copyFriendlyName(IMoniker* moniker, char* name, size_t size) {
    IPropertyBag* properties = nullptr;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&properties))) ||
        !properties)
        return;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(properties->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) {
        size_t i = 0;
        for (; value.bstrVal[i] && i + 1 < size; i++)
            name[i] = (value.bstrVal[i] > 0 && value.bstrVal[i] < 128) ? (char)value.bstrVal[i] : '?';
        name[i] = '\0';
    }
    VariantClear(&value);
    properties->Release();
}

// DirectShow's DeleteMediaType, which MinGW does not provide.
static void deleteMediaType(AM_MEDIA_TYPE* type) {
    if (type->pbFormat) CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
}

// The first device of the video input category, bound to its filter. With no camera the
// category is empty: S_FALSE and no enumerator.
HRESULT DirectShowCamera::bindFirstDevice(IBaseFilter** device) {
    CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, inprocServerOrHandler, IID_ICreateDevEnum,
                     reinterpret_cast<void**>(&devEnum));
    IEnumMoniker* enumerator = nullptr;
    HRESULT status = VFW_E_NO_CAPTURE_HARDWARE;
    if (devEnum && devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &enumerator, 0) == S_OK &&
        enumerator) {
        ULONG fetched = 0;
        if (enumerator->Next(1, &moniker, &fetched) == S_OK) {
            copyFriendlyName(moniker, deviceName, sizeof deviceName);
            status = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(device));
            moniker->Release();
            moniker = nullptr;
        }
        enumerator->Release();
    }
    if (devEnum) devEnum->Release();
    devEnum = nullptr;
    if (SUCCEEDED(status) && !*device) status = VFW_E_NO_CAPTURE_HARDWARE;
    return status;
}

// Asks the device (in the graph, its output pin found) for width x height, then connects it
// to the grabber.
HRESULT DirectShowCamera::connectSource() {
    builder->FindInterface(nullptr, nullptr, source, IID_IAMStreamConfig, reinterpret_cast<void**>(&streamConfig));
    AM_MEDIA_TYPE* format = nullptr;
    if (streamConfig && SUCCEEDED(streamConfig->GetFormat(&format)) && format) {
        if (IsEqualGUID(format->formattype, FORMAT_VideoInfo) && format->pbFormat &&
            format->cbFormat >= sizeof(VIDEOINFOHEADER)) {
            BITMAPINFOHEADER& header = reinterpret_cast<VIDEOINFOHEADER*>(format->pbFormat)->bmiHeader;
            header.biWidth = width;
            header.biHeight = height;  // positive: bottom-up
            header.biCompression = BI_RGB;
            header.biSizeImage = width * height * 3;
            streamConfig->SetFormat(format);
        }
        deleteMediaType(format);
    }
    // A device whose frames cannot reach the grabber would leave the mosaic black for good.
    const HRESULT connected = graph->Connect(sourceOut, grabberIn);
    connectFailed = FAILED(connected);
    return connected;
}

HRESULT DirectShowCamera::startCapture(int width, int height) {
    this->width = width;  // what connectSource asks the device for, now and after a loss
    this->height = height;
    CoInitialize(nullptr);
    CoCreateInstance(CLSID_FilterGraph, nullptr, inprocServerOrHandler, IID_IGraphBuilder,
                     reinterpret_cast<void**>(&graph));
    // Nothing can be built without a device: stop here and say so.
    const HRESULT bound = bindFirstDevice(&source);
    if (FAILED(bound)) return bound;

    graph->AddFilter(source, L"Video Capture");

    CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, inprocServerOrHandler, IID_ICaptureGraphBuilder2,
                     reinterpret_cast<void**>(&builder));
    builder->SetFiltergraph(graph);

    CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(&grabberFilter));
    grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&grabber));

    // Only the kind of frame is fixed here; the size comes from the device's format below.
    AM_MEDIA_TYPE wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;
    grabber->SetMediaType(&wanted);
    graph->AddFilter(grabberFilter, L"Grabber");

    sourceOut = pinOf(source, PINDIR_OUTPUT);
    grabberIn = pinOf(grabberFilter, PINDIR_INPUT);

    // The device is in the graph before its format changes, and the format changes before
    // the device is connected.
    const HRESULT connected = connectSource();
    if (FAILED(connected)) return connected;
    grabber->SetBufferSamples(TRUE);
    grabber->SetOneShot(FALSE);

    CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                     reinterpret_cast<void**>(&nullRenderer));
    graph->AddFilter(nullRenderer, L"NullRenderer");
    connectFilters(graph, grabberFilter, nullRenderer);

    builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, source, nullptr, nullptr);

    graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    return control->Run();
}

IPin* DirectShowCamera::pinOf(IBaseFilter* filter, PIN_DIRECTION direction) {
    IPin* found = nullptr;
    findPin(filter, direction, &found);
    return found;
}

HRESULT DirectShowCamera::findPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin) {
    IEnumPins* pins = nullptr;
    if (!filter || FAILED(filter->EnumPins(&pins)) || !pins) return E_FAIL;
    IPin* candidate = nullptr;
    HRESULT status = E_FAIL;
    while (pins->Next(1, &candidate, nullptr) == S_OK) {
        PIN_DIRECTION candidateDirection;
        candidate->QueryDirection(&candidateDirection);
        if (candidateDirection == direction) {
            *pin = candidate;
            status = S_OK;
            break;
        }
        candidate->Release();
    }
    pins->Release();
    return status;
}

HRESULT DirectShowCamera::connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream) {
    IPin* out = nullptr;
    IPin* in = nullptr;
    HRESULT status = findPin(upstream, PINDIR_OUTPUT, &out);
    if (FAILED(status)) return status;
    if (FAILED(findPin(downstream, PINDIR_INPUT, &in))) {
        out->Release();
        return E_FAIL;
    }
    status = graph->Connect(out, in);
    in->Release();
    out->Release();
    return status;
}
