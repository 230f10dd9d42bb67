#include "installer/state.h"

#include "core/path.h"

// The record as the program is loaded: zero-filled but for the fixed names.
static InstallerState LoadState() {
  InstallerState s = {};
  CopyText(s.mainProgramName, sizeof s.mainProgramName, "Quillmark.exe");
  CopyText(s.productName, sizeof s.productName, "Quillmark");
  CopyText(s.folderSuffix, sizeof s.folderSuffix, "\\Quillmark");
  CopyText(s.uninstallerName, sizeof s.uninstallerName, "uninst1.exe");
  return s;
}

InstallerState g_state = LoadState();

void ResetInstallerState() { g_state = LoadState(); }
