// The small part of COM that Quiltcam's camera code calls, for systems without Windows.
// Names, types, values and signatures follow the Windows headers, so the same camera source
// compiles against either.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int32_t HRESULT;
typedef int32_t LONG;  // Windows' long is 32 bits wide on every target
typedef uint32_t ULONG;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef int64_t LONGLONG;
typedef int64_t REFERENCE_TIME;
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPOLESTR;
typedef const WCHAR* LPCOLESTR;
typedef WCHAR* BSTR;
typedef uint16_t VARTYPE;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; i++)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)

// Failures of the operating system carry its error number, as Windows does with its own
// error codes (HRESULT_FROM_WIN32): facility 7, the number in the low 16 bits.
#define FACILITY_WIN32 7
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
inline HRESULT hresultFromErrno(int error) {
    return (HRESULT)(0x80000000u | (FACILITY_WIN32 << 16) | ((uint32_t)error & 0xFFFF));
}

enum {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
};

// The identifiers live in a namespace of their own, so that they never meet the system's
// definitions of the same names (the Windows build of the test program links both).
namespace platform_ids {
extern const IID IID_IUnknown;
}
using namespace platform_ids;

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // objects go away through Release
};

// A property's value: only strings here.
enum { VT_EMPTY = 0, VT_BSTR = 8 };
struct VARIANT {
    VARTYPE vt;
    BSTR bstrVal;
};
void VariantInit(VARIANT* value);
HRESULT VariantClear(VARIANT* value);

struct IErrorLog;
struct IPropertyBag : IUnknown {
    virtual HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog* log) = 0;
};
namespace platform_ids {
extern const IID IID_IPropertyBag;
}

HRESULT CoInitialize(void* reserved);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* block);
