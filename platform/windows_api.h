// The one place that decides where the Win32 names come from: the real
// <windows.h> when building for Windows, our own small stand-in elsewhere so
// that the logic builds and is tested natively.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "platform/windows_stand_in.h"
#endif
