#pragma once
// The flag for a high-resolution waitable timer (Windows 10 1803 and
// later), which the MinGW-w64 headers lack. Mirrors synchapi.h of the
// Windows SDK.

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif
