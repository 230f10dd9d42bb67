// Process start-up calls, the launcher, and the journal of the run.
#include "winsim/machine.h"

namespace winsim {

void Note(const std::string& event) { M().journal.push_back(event); }
const std::vector<std::string>& Journal() { return M().journal; }
int JournalIndex(const std::string& prefix) {
  const std::vector<std::string>& j = M().journal;
  for (size_t i = 0; i < j.size(); ++i)
    if (j[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  return -1;
}
LPTOP_LEVEL_EXCEPTION_FILTER InstalledFilter() { return M().filter; }
UINT ErrorMode() { return M().errorMode; }

}  // namespace winsim

using namespace winsim;

UINT SetErrorMode(UINT mode) {
  Checkpoint("SetErrorMode");
  UINT old = M().errorMode;
  M().errorMode = mode;
  Note("SetErrorMode " + std::to_string(mode));
  return old;
}

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  Checkpoint("SetUnhandledExceptionFilter");
  LPTOP_LEVEL_EXCEPTION_FILTER old = M().filter;
  M().filter = filter;
  Note("filter set");
  return old;
}

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
