// A running program's file cannot be deleted, not even by the program
// itself. The uninstaller therefore leaves its own file (and the install
// folder, when it stands in it) to a copy of itself in the temporary folder:
// started with an internal argument, the copy waits for the uninstaller's
// process to end, then deletes the file it ran from.
//
// That copy must not stay behind either. Before starting it, the uninstaller
// opens the copy's file for deletion on close, sharing it for reading (the
// system's loader reads it) and deletion, and lets the copy inherit that
// handle: the file goes when the last handle to it closes, which is when the
// copy's process ends. This works the same on every Windows since NT and
// under Wine, where a delayed delete (MoveFileEx at the next restart) would
// need administrator rights and would leave the file until the restart.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/held_files.h"
#include "core/path.h"
#include "core/product.h"
#include "uninstaller/removal_report.h"
#include "uninstaller/uninstall_steps.h"

namespace {

// The copy's command line: "--remove-uninstaller", the uninstaller's process
// handle (hexadecimal), 1 or 0 for its folder, and the uninstaller's file.
const char kCopyArgument[] = "--remove-uninstaller";

// The copy's file in the temporary folder, made anew, into `copy`; 0, or the
// error that stopped it.
DWORD MakeCopy(char* copy) {
  if (g_uninstall.tempFolder[0] == '\0') return ERROR_PATH_NOT_FOUND;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "uninst1-%lX-%d.exe",
                  static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (!PathJoin(g_uninstall.tempFolder, name, copy, kPathSize)) return ERROR_FILENAME_EXCED_RANGE;
    if (CopyFileA(g_uninstall.self, copy, TRUE)) return 0;
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return error;
  }
  return ERROR_FILE_EXISTS;
}

// "<copy>" --remove-uninstaller <process> <folder> <uninstaller>, into
// `line` (`size` bytes); false when it does not fit.
bool ComposeCopyLine(const char* copy, HANDLE process, bool removeFolder, char* line, size_t size) {
  // A handle's value, in full on 64-bit Windows too.
  char handle[40];
  std::snprintf(handle, sizeof handle, " %llX %d ",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(process)),
                removeFolder ? 1 : 0);
  return CopyText(line, size, "\"") && AppendText(line, size, copy) &&
         AppendText(line, size, "\" ") && AppendText(line, size, kCopyArgument) &&
         AppendText(line, size, handle) && AppendText(line, size, g_uninstall.self);
}

// Starts the copy at `copy` with a handle of this process to wait on and a
// handle that holds its own file for deletion on close; it inherits both.
DWORD StartCopy(const char* copy, bool removeFolder) {
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE held = CreateFileA(copy, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            &inherited, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (held == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DeleteFileA(copy);
    return error;
  }
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                       SYNCHRONIZE, TRUE, 0)) {
    DWORD error = GetLastError();
    CloseHandle(held);  // and the copy goes with it
    return error;
  }
  char line[2 * kPathSize + 64];
  DWORD error = ERROR_FILENAME_EXCED_RANGE;
  if (ComposeCopyLine(copy, self, removeFolder, line, sizeof line)) {
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    // Not in the install folder: the copy would hold it as its current
    // directory, and the folder could not be removed.
    if (CreateProcessA(copy, line, nullptr, nullptr, TRUE, 0, nullptr, g_uninstall.tempFolder, &startup,
                       &started)) {
      CloseHandle(started.hThread);
      CloseHandle(started.hProcess);
      error = 0;
    } else {
      error = GetLastError();
    }
  }
  // The copy holds its own inherited handles now; when it never started,
  // closing the last handle deletes the copy.
  CloseHandle(self);
  CloseHandle(held);
  return error;
}

// The folder part of `path` into `folder` (kPathSize bytes).
bool FolderOf(const char* path, char* folder) {
  if (!CopyText(folder, kPathSize, path)) return false;
  char* last = LastBackslash(folder);
  if (!last) return false;
  *last = '\0';
  return true;
}

// `what` ("The uninstaller", "The folder") at `path` was left behind.
void TellCopyFailure(const char* what, const char* path, DWORD error) {
  char reason[160];
  DescribeError(error, reason, sizeof reason);
  char text[kPathSize + 384];
  if (!CopyText(text, sizeof text, what) || !AppendText(text, sizeof text, "\n    ") ||
      !AppendText(text, sizeof text, path) ||
      !AppendText(text, sizeof text, "\ncould not be removed (") ||
      !AppendText(text, sizeof text, reason) ||
      !AppendText(text, sizeof text, "). It can be removed by hand."))
    CopyText(text, sizeof text, "The uninstaller could not remove all of its own files.");
  MessageBoxA(nullptr, text, kUninstallCaption, MB_OK | MB_ICONEXCLAMATION);
}

}  // namespace

bool IsRemovalCopy(const char* arguments) {
  size_t n = std::strlen(kCopyArgument);
  return arguments && std::strncmp(arguments, kCopyArgument, n) == 0 &&
         (arguments[n] == ' ' || arguments[n] == '\0');
}

DWORD StartRemovalCopy(bool removeFolder) {
  char copy[kPathSize];
  DWORD error = MakeCopy(copy);
  return error ? error : StartCopy(copy, removeFolder);
}

int RunRemovalCopy(const char* arguments) {
  const char* at = arguments + std::strlen(kCopyArgument);
  char* end = nullptr;
  unsigned long long process = std::strtoull(at, &end, 16);
  if (end == at || *end != ' ') return 1;
  at = end;
  unsigned long removeFolder = std::strtoul(at, &end, 10);
  if (end == at || *end != ' ') return 1;
  char original[kPathSize];
  const char* name = LastBackslash(end + 1);
  // Only ever an uninstaller's file, named by its full path.
  if (!CopyText(original, sizeof original, end + 1) || !name ||
      !SameText(name + 1, kUninstallerName))
    return 1;
  HANDLE uninstaller = reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(process));
  // The uninstaller ends when its user has read its last message.
  DWORD waited = WaitForSingleObject(uninstaller, INFINITE);
  CloseHandle(uninstaller);
  if (waited != WAIT_OBJECT_0) return 1;
  DWORD error = DeleteWithRetry(original);
  if (error) {
    TellCopyFailure("The uninstaller", original, error);
    return 1;
  }
  char folder[kPathSize];
  if (removeFolder == 1 && FolderOf(original, folder) && !RemoveDirectoryA(folder)) {
    TellCopyFailure("The folder", folder, GetLastError());
    return 1;
  }
  return 0;
}
