// COM and DirectShow for the camera code: Windows' own headers on Windows, the platform
// stand-in elsewhere.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <dshow.h>
#include <qedit.h>
// qedit.h declares the sample grabber's interface but not these two classes; strmiids
// defines them.
extern "C" const CLSID CLSID_SampleGrabber;
extern "C" const CLSID CLSID_NullRenderer;
#else
#include "platform/directshow.h"
#endif
