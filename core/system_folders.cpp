#include "core/system_folders.h"

#include "core/path.h"
#include "core/win32.h"

// A length of kPathSize or more means the answer did not fit: as good as none.

bool FetchWindowsDirectory(char* folder) {
  folder[0] = '\0';
  UINT n = GetWindowsDirectoryA(folder, kPathSize);
  bool found = n != 0 && n < static_cast<UINT>(kPathSize);
  if (!found) folder[0] = '\0';
  DropTrailingBackslash(folder);
  return found;
}

bool FetchTempFolder(char* folder) {
  folder[0] = '\0';
  DWORD n = GetTempPathA(kPathSize, folder);
  bool found = n != 0 && n < static_cast<DWORD>(kPathSize);
  if (!found) folder[0] = '\0';
  return found;
}
