#include "installer/location/location.h"

#include "installer/notices.h"
#include "installer/path.h"
#include "installer/state.h"

// The least that lets a run go on until the registry lookup, the drive
// checks and the folder rules are built: Program Files on C:, the default
// proposal, and a folder created one level deep and entered.
void FindProgramFiles() {
  CopyText(g_state.programFilesFolder, sizeof g_state.programFilesFolder, "C:\\Program Files");
}

bool ProposeInstallFolder(char* proposed) {
  if (!CopyText(proposed, kPathSize, g_state.programFilesFolder) ||
      !AppendText(proposed, kPathSize, g_state.folderSuffix))
    CopyText(proposed, kPathSize, "");
  return false;
}

bool ValidateInstallFolder(char* folder, bool showErrors) {
  if (SetCurrentDirectoryA(folder)) return true;
  if (CreateDirectoryA(folder, nullptr) && SetCurrentDirectoryA(folder)) return true;
  if (showErrors) ErrorNotice("Could not create the specified folder.", "16");
  return false;
}
