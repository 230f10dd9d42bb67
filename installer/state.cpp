#include "installer/state.h"

#include "core/path.h"
#include "core/product.h"

// The record as the program is loaded: zero-filled but for the fixed names.
static InstallerState LoadState() {
  InstallerState s = {};
  CopyText(s.mainProgramName, sizeof s.mainProgramName, kMainProgramName);
  CopyText(s.productName, sizeof s.productName, kProductName);
  CopyText(s.folderSuffix, sizeof s.folderSuffix, "\\Quillmark");
  CopyText(s.uninstallerName, sizeof s.uninstallerName, kUninstallerName);
  return s;
}

InstallerState g_state = LoadState();

void ResetInstallerState() { g_state = LoadState(); }
