// The one door from both programs (and the core they share) to the platform.
// On Windows it is the SDK; on the host build it is winsim, the simulated
// Win32 the unit tests drive.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shlobj.h>
#include <lzexpand.h>
#include <winver.h>
#include <wininet.h>
#else
#include "winsim/win32_api.h"
#endif
