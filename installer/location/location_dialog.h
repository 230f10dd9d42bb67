// The location dialog (template 101) and the progress dialog (template 103)
// share one procedure: the progress dialog has neither the folder field nor
// "Change...", so its initialisation changes nothing on screen.
#pragma once

#include "core/win32.h"

INT_PTR CALLBACK LocationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// "Change...": lets the user pick a parent folder; the install folder becomes
// a "Quillmark" folder inside it.
void BrowseForInstallFolder(HWND dialog);
