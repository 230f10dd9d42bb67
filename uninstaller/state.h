// UninstallerState: the uninstaller's own record of one run, filled from
// what the install recorded and from the system, never from the installer's
// state. Every path is a NUL-terminated ANSI text in a kPathSize buffer,
// written only through the bounded helpers of core/path.h. The fixed names
// (product, main program, uninstaller) are the core's (core/product.h).
#pragma once

#include "core/path.h"
#include "core/win32.h"

struct UninstallerState {
  // The install as its record gives it.
  char settingsKeyPath[kPathSize];
  DWORD nolmaccess;  // the install found the machine hive unwritable
  char installFolder[kPathSize];
  char mainProgramPath[kPathSize];
  // The Windows directory without its trailing backslash, the temporary
  // folder with it; empty when the system gives none that fits.
  char windowsDirectory[kPathSize];
  char tempFolder[kPathSize];
  // The running program's own file, and whether it is the install's
  // uninstaller (in the install folder or the Windows directory): then it is
  // not deleted with the other files but by its temporary copy.
  char self[kPathSize];
  bool selfIsInstalled;
  bool selfInInstallFolder;
  bool copyRemovesFolder;  // the folder holds nothing else: the copy removes it
};

// Zero-filled at the start of every run.
extern UninstallerState g_uninstall;
