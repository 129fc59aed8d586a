// COM and DirectShow for the camera code: Windows' own headers on Windows, the platform
// stand-in elsewhere (and in the Windows build of the test camera program).
#pragma once

#if defined(_WIN32) && !defined(QUILTCAM_STAND_IN)
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
