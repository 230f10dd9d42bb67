#include "installer/state.h"

#include <cstring>

#include "installer/path.h"

InstallerState g_state;

void ResetInstallerState() {
  std::memset(&g_state, 0, sizeof g_state);
  CopyText(g_state.mainProgramName, sizeof g_state.mainProgramName, "Quillmark.exe");
  CopyText(g_state.productName, sizeof g_state.productName, "Quillmark");
  CopyText(g_state.folderSuffix, sizeof g_state.folderSuffix, "\\Quillmark");
  CopyText(g_state.uninstallerName, sizeof g_state.uninstallerName, "uninst1.exe");
}
