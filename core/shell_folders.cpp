#include "core/shell_folders.h"

bool SpecialFolderPath(HWND owner, int csidl, char* path) {
  path[0] = '\0';
  // The allocator first: without it the id list could not be given back.
  LPMALLOC shellMalloc = nullptr;
  if (FAILED(SHGetMalloc(&shellMalloc)) || !shellMalloc) return false;
  LPITEMIDLIST list = nullptr;
  bool ok = false;
  if (SUCCEEDED(SHGetSpecialFolderLocation(owner, csidl, &list)) && list) {
    ok = SHGetPathFromIDListA(list, path) != FALSE;
    shellMalloc->Free(list);
  }
  shellMalloc->Release();
  if (!ok) path[0] = '\0';
  return ok;
}
