// InstallerState: the process-wide record that carries paths, handles and
// flags from step to step. Every path is a NUL-terminated ANSI text in a
// 520-byte buffer, written only through the bounded helpers of path.h.
#pragma once

#include "core/path.h"
#include "core/win32.h"

struct InstallerState {
  char mainProgramName[kPathSize];
  char productName[kPathSize];
  char folderSuffix[kPathSize];
  char uninstallerName[kPathSize];
  char settingsKeyPath[kPathSize];
  char reportKeyPath[kPathSize];
  HINSTANCE instance;
  HWND backdropWindow;
  DWORD nolmaccess;
  char windowsDirectory[kPathSize];
  char tempFolder[kPathSize];
  char programFilesFolder[kPathSize];
  DWORD previousInstallFound;
  char installFolder[kPathSize];
  char installDrive[3];
  char mainProgramPath[kPathSize];
};

extern InstallerState g_state;

// Puts g_state back to its load-time content (the tests start every case so).
void ResetInstallerState();
