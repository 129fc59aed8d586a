// The DirectShow subset that Quiltcam's capture chain uses, for systems without Windows.
// Interfaces keep DirectShow's names, method order within the subset, signatures and
// return codes; methods the camera code never calls are left out.
#pragma once

#include "platform/com.h"

#define VFW_E_INVALIDMEDIATYPE ((HRESULT)0x80040200)
#define VFW_E_ALREADY_CONNECTED ((HRESULT)0x80040204)
#define VFW_E_NO_ACCEPTABLE_TYPES ((HRESULT)0x80040207)
#define VFW_E_INVALID_DIRECTION ((HRESULT)0x80040208)
#define VFW_E_NOT_CONNECTED ((HRESULT)0x80040209)
#define VFW_E_NOT_FOUND ((HRESULT)0x80040216)
#define VFW_E_CANNOT_CONNECT ((HRESULT)0x80040217)
#define VFW_E_NOT_STOPPED ((HRESULT)0x80040224)
#define VFW_E_WRONG_STATE ((HRESULT)0x80040227)
#define VFW_E_TYPE_NOT_ACCEPTED ((HRESULT)0x8004022A)
#define VFW_E_NOT_IN_GRAPH ((HRESULT)0x8004025F)
#define VFW_E_NO_CAPTURE_HARDWARE ((HRESULT)0x80040275)
#define VFW_S_NOPREVIEWPIN ((HRESULT)0x0004027E)

#define BI_RGB 0

namespace platform_ids {
extern const CLSID CLSID_FilterGraph;
extern const CLSID CLSID_SystemDeviceEnum;
extern const CLSID CLSID_VideoInputDeviceCategory;
extern const CLSID CLSID_CaptureGraphBuilder2;
extern const CLSID CLSID_SampleGrabber;
extern const CLSID CLSID_NullRenderer;
extern const IID IID_IGraphBuilder;
extern const IID IID_ICreateDevEnum;
extern const IID IID_IEnumMoniker;
extern const IID IID_IMoniker;
extern const IID IID_IBaseFilter;
extern const IID IID_IPin;
extern const IID IID_IEnumPins;
extern const IID IID_ICaptureGraphBuilder2;
extern const IID IID_ISampleGrabber;
extern const IID IID_IAMStreamConfig;
extern const IID IID_IMediaControl;
extern const GUID MEDIATYPE_Video;
extern const GUID MEDIASUBTYPE_RGB24;
extern const GUID FORMAT_VideoInfo;
extern const GUID FORMAT_None;
extern const GUID PIN_CATEGORY_PREVIEW;
extern const GUID PIN_CATEGORY_CAPTURE;
}  // namespace platform_ids

struct RECT {
    LONG left, top, right, bottom;
};

struct BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;  // positive: rows bottom-up
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};

struct AM_MEDIA_TYPE {
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};

enum PIN_DIRECTION { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };

struct IBaseFilter;
struct IBindCtx;

struct IPin : IUnknown {
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* direction) = 0;
};

struct IEnumPins : IUnknown {
    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Reset() = 0;
};

struct IBaseFilter : IUnknown {
    virtual HRESULT EnumPins(IEnumPins** pins) = 0;
};

struct IGraphBuilder : IUnknown {
    virtual HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) = 0;
    virtual HRESULT Connect(IPin* out, IPin* in) = 0;
};

struct IMediaControl : IUnknown {
    virtual HRESULT Run() = 0;
    virtual HRESULT Stop() = 0;
};

struct IMoniker : IUnknown {
    virtual HRESULT BindToObject(IBindCtx* context, IMoniker* left, REFIID iid, void** object) = 0;
    virtual HRESULT BindToStorage(IBindCtx* context, IMoniker* left, REFIID iid, void** object) = 0;
};

struct IEnumMoniker : IUnknown {
    virtual HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) = 0;
    virtual HRESULT Reset() = 0;
};

struct ICreateDevEnum : IUnknown {
    virtual HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers, DWORD flags) = 0;
};

struct ICaptureGraphBuilder2 : IUnknown {
    virtual HRESULT SetFiltergraph(IGraphBuilder* graph) = 0;
    virtual HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter,
                                  REFIID iid, void** object) = 0;
    virtual HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source,
                                 IBaseFilter* compressor, IBaseFilter* renderer) = 0;
};

struct IAMStreamConfig : IUnknown {
    virtual HRESULT SetFormat(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetFormat(AM_MEDIA_TYPE** type) = 0;
};

struct ISampleGrabber : IUnknown {
    virtual HRESULT SetOneShot(BOOL oneShot) = 0;
    virtual HRESULT SetMediaType(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT SetBufferSamples(BOOL bufferThem) = 0;
    virtual HRESULT GetCurrentBuffer(LONG* bufferSize, LONG* buffer) = 0;
};
