// The two buttons every dialog of the installer ends with.
#pragma once

#include "core/win32.h"

// Ends the dialog with 1 for IDOK (the default button, or Enter) and 2 for
// IDCANCEL (or Escape). False for any other control: not handled here.
bool EndOnOkOrCancel(HWND dialog, WORD control);
