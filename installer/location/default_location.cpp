// The folder to propose: the one an earlier install recorded, or a folder of
// the product's name inside Program Files.
#include "core/path.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"
#include "installer/state.h"

bool SpecialFolderPath(int csidl, char* path) {
  path[0] = '\0';
  // The allocator first: without it the id list could not be given back.
  LPMALLOC shellMalloc = nullptr;
  if (FAILED(SHGetMalloc(&shellMalloc)) || !shellMalloc) return false;
  LPITEMIDLIST list = nullptr;
  bool ok = false;
  if (SUCCEEDED(SHGetSpecialFolderLocation(g_state.backdropWindow, csidl, &list)) && list) {
    ok = SHGetPathFromIDListA(list, path) != FALSE;
    shellMalloc->Free(list);
  }
  shellMalloc->Release();
  if (!ok) path[0] = '\0';
  return ok;
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
  char path[kPathSize] = {};
  if (!PathJoin(folder, g_state.mainProgramName, path, sizeof path)) return false;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}
