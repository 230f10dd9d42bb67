// The subset of the Win32 ANSI API that the installer calls (kernel32_api.h
// and the headers it gathers), as core/win32.h sees it on the host build.
#pragma once

#include "winsim/kernel32_api.h"
