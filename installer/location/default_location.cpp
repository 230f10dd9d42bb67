// The folder to propose: the one an earlier install recorded, or a folder of
// the product's name inside Program Files.
#include "core/held_files.h"
#include "core/path.h"
#include "core/shell_folders.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"
#include "installer/state.h"

// The shell's answers are owned by the backdrop, as every other window of the
// install is.
bool SpecialFolderPath(int csidl, char* path) {
  return SpecialFolderPath(g_state.backdropWindow, csidl, path);
}

void FindProgramFiles() {
  char* folder = g_state.programFilesFolder;
  if (SpecialFolderPath(CSIDL_PROGRAM_FILES, folder)) {
    DropTrailingBackslash(folder);
    return;
  }
  CopyText(folder, kPathSize, "C:\\Program Files");
  DWORD drives = GetLogicalDrives();
  for (int d = 0; d < 26; ++d) {
    if (!(drives & (1u << d))) continue;
    char root[] = {static_cast<char>('A' + d), ':', '\\', '\0'};
    if (GetDriveTypeA(root) == DRIVE_FIXED) {
      folder[0] = root[0];
      return;
    }
  }
}

static bool ProposeRecordedFolder(char* proposed) {
  HKEY key;
  if (OpenMachineKey(&key) != ERROR_SUCCESS) return false;
  LONG status = ReadRegString(key, kPathValue, proposed, kPathSize);
  RegCloseKey(key);
  return status == ERROR_SUCCESS && proposed[0] != ':';
}

bool ProposeInstallFolder(char* proposed) {
  if (ProposeRecordedFolder(proposed))
    return ValidateInstallFolder(proposed, false) && MainProgramExists(proposed);
  if (!CopyText(proposed, kPathSize, g_state.programFilesFolder) ||
      !AppendText(proposed, kPathSize, g_state.folderSuffix))
    proposed[0] = '\0';
  return false;
}

bool MainProgramExists(const char* folder) {
  return MainProgramExists(folder, g_state.mainProgramName);
}
