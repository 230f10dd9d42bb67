#pragma once
#include "installer/win32.h"

// The unhandled-exception filter of the whole run.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers);
