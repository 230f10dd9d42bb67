// The common controls and the shell's launcher.
#include "winsim/machine.h"

using namespace winsim;

void InitCommonControls(void) {
  Checkpoint("InitCommonControls");
  Note("common controls");
}

HINSTANCE ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT show) {
  Checkpoint("ShellExecuteA");
  Note(std::string("launch ") + (verb ? verb : "") + " " + (file ? file : "") + " | " +
       (parameters ? parameters : "(null)") + " | " + (directory ? directory : "(null)") + " | " +
       std::to_string(show) + " | from " + M().currentDirectory);
  // Like the shell: a value above 32 on success, an error number otherwise.
  DWORD attributes = GetFileAttributesA(file);
  bool found = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (found) RunProgram(file);
  uintptr_t r = found ? 42 : ERROR_FILE_NOT_FOUND;
  return reinterpret_cast<HINSTANCE>(r);
}
