// The agreement dialog (template 158). Ends with 1 on "Accept", 2 on
// "Decline", Escape, or an agreement text that is missing or damaged.
#pragma once

#include "core/win32.h"

INT_PTR CALLBACK AgreementDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
