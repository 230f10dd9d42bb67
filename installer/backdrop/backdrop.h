#pragma once
#include "installer/win32.h"

// The full-screen window behind the dialogs; none when it cannot be made.
HWND CreateBackdropWindow(HINSTANCE instance);
