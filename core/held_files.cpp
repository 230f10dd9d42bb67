#include "core/held_files.h"

#include "core/path.h"

bool OpenAlone(const char* path, DWORD flags) {
  HANDLE file =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

MainProgramUse TestMainProgramUse(const char* path) {
  if (OpenAlone(path, FILE_ATTRIBUTE_NORMAL)) return kProgramFree;
  if (GetLastError() != ERROR_SHARING_VIOLATION) return kProgramUnopenable;
  // It may be on its way out: one more try after a pause.
  Sleep(3000);
  if (OpenAlone(path, FILE_ATTRIBUTE_NORMAL)) return kProgramFree;
  return GetLastError() == ERROR_SHARING_VIOLATION ? kProgramHeld : kProgramUnopenable;
}

void DeleteInFolder(const char* folder, const char* name) {
  // Always one backslash, also after a folder that ends in one: the system
  // reads the doubled separator as one.
  char path[kPathSize];
  if (CopyText(path, sizeof path, folder) && AppendText(path, sizeof path, "\\") &&
      AppendText(path, sizeof path, name))
    DeleteWithRetry(path);
}

DWORD DeleteWithRetry(const char* path) {
  DWORD error = 0;
  for (int attempt = 0; attempt < 10; ++attempt) {
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileA(path)) return 0;
    error = GetLastError();
    Sleep(50);
  }
  return error;
}

bool MainProgramExists(const char* folder, const char* mainProgramName) {
  char path[kPathSize] = {};
  if (!PathJoin(folder, mainProgramName, path, sizeof path)) return false;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}
