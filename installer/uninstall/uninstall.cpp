// The uninstaller's sequence: find the install as the installer recorded it,
// ask, refuse while the program runs, then remove step by step and tell what
// came of it.
#include "installer/uninstall/uninstall.h"

#include <cstring>

#include "core/held_files.h"
#include "core/library_search.h"
#include "core/path.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"
#include "installer/state.h"
#include "installer/uninstall/removal_report.h"
#include "installer/uninstall/uninstall_steps.h"

UninstallRun g_run;

namespace {

// The Windows directory without its trailing backslash and the temporary
// folder with it, as the installer keeps them; empty when the system gives
// none that fits.
void FetchSystemFolders() {
  UINT n = GetWindowsDirectoryA(g_state.windowsDirectory, kPathSize);
  if (n == 0 || n >= static_cast<UINT>(kPathSize)) g_state.windowsDirectory[0] = '\0';
  DropTrailingBackslash(g_state.windowsDirectory);
  DWORD t = GetTempPathA(kPathSize, g_state.tempFolder);
  if (t == 0 || t >= static_cast<DWORD>(kPathSize)) g_state.tempFolder[0] = '\0';
  DWORD s = GetModuleFileNameA(nullptr, g_run.self, kPathSize);
  // A name cut short names no file of ours.
  if (s == 0 || s >= static_cast<DWORD>(kPathSize)) g_run.self[0] = '\0';
}

// What a read of the registry or the disk says: 0 for found, and for a
// key, value or file that is not there (the system's "not found"), otherwise
// the error that kept it from being read.
DWORD Unread(DWORD status) {
  return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND ? 0 : status;
}

// The machine key is where the installer's own rule put it: the settings key
// when the install recorded "nolmaccess". Nothing is created on the way.
// 0, or the error that kept the flag from being read.
DWORD ReadNolmaccess() {
  HKEY settings;
  LONG status = OpenExistingRegKey(HKEY_CURRENT_USER, g_state.settingsKeyPath, KEY_READ, &settings);
  if (status != ERROR_SUCCESS) return Unread(static_cast<DWORD>(status));
  DWORD flag = 0;
  status = ReadRegNumber(settings, kNolmaccessValue, &flag);
  RegCloseKey(settings);
  g_state.nolmaccess = status == ERROR_SUCCESS && flag ? 1 : 0;
  return status == ERROR_SUCCESS ? 0 : Unread(static_cast<DWORD>(status));
}

// The recorded "Path" into `folder` (kPathSize bytes), "" when there is none
// (none, too long, or beginning with ':' as the installer counts it); 0, or
// the error that kept it from being read.
DWORD ReadRecordedFolder(char* folder) {
  folder[0] = '\0';
  HKEY root;
  const char* path;
  MachineKeyLocation(&root, &path);
  HKEY machine;
  LONG status = OpenExistingRegKey(root, path, KEY_READ, &machine);
  if (status != ERROR_SUCCESS) return Unread(static_cast<DWORD>(status));
  status = ReadRegString(machine, kPathValue, folder, kPathSize);
  RegCloseKey(machine);
  if (status != ERROR_SUCCESS || folder[0] == ':') folder[0] = '\0';
  return status == ERROR_MORE_DATA ? 0 : Unread(static_cast<DWORD>(status));
}

// Finds the install folder the installer recorded, when the main program is
// there. 0 whether found or not (`found` tells), or the error that kept the
// record or the folder from being read.
DWORD FindInstall(bool* found) {
  *found = false;
  char folder[kPathSize];
  DWORD error = ReadNolmaccess();
  if (!error) error = ReadRecordedFolder(folder);
  if (error || folder[0] == '\0') return error;
  DropTrailingBackslashes(folder, 3);
  if (!CopyText(g_state.installFolder, kPathSize, folder) ||
      !PathJoin(folder, g_state.mainProgramName, g_state.mainProgramPath, kPathSize))
    return 0;  // a folder too long for the program: the installer refuses such
  SetLastError(0);
  *found = MainProgramExists(folder);
  return *found ? 0 : Unread(GetLastError());
}

bool AskToRemove() {
  char question[kPathSize + 512];
  bool composed = CopyText(question, sizeof question,
                           "Do you want to remove Quillmark 2003 from your computer?\n\n"
                           "Its program and files will be removed from the folder\n    ") &&
                  AppendText(question, sizeof question, g_state.installFolder) &&
                  AppendText(question, sizeof question,
                             "\ntogether with its shortcuts and its entries in the registry. "
                             "Files of your own in that folder are kept.");
  // A folder too long to name is not asked about.
  return composed &&
         MessageBoxA(nullptr, question, kUninstallCaption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// The process must not hold the install folder as its current directory
// while it removes it: the system refuses to remove a folder in use so.
void LeaveInstallFolder() {
  if (!SetCurrentDirectoryA(g_state.windowsDirectory)) SetCurrentDirectoryA(g_state.tempFolder);
}

void TellUnread(DWORD error) {
  char reason[160], text[256];
  DescribeError(error, reason, sizeof reason);
  if (!CopyText(text, sizeof text,
                "Whether Quillmark 2003 is installed could not be found out: what its install "
                "recorded could not be read (") ||
      !AppendText(text, sizeof text, reason) ||
      !AppendText(text, sizeof text, ").\n\nNothing was changed."))
    CopyText(text, sizeof text, "What Quillmark 2003's install recorded could not be read.");
  MessageBoxA(nullptr, text, kUninstallCaption, MB_OK | MB_ICONEXCLAMATION);
}

void RemoveSelf() {
  if (!g_run.selfIsInstalled) return;
  DWORD error = StartRemovalCopy(g_run.copyRemovesFolder);
  if (error) NoteRemaining(g_run.self, error);
}

}  // namespace

int RunUninstaller(const char* arguments) {
  // Both runs: from the Windows directory, and as the copy in TEMP.
  RestrictLibrarySearch();
  if (IsRemovalCopy(arguments)) return RunRemovalCopy(arguments);
  std::memset(&g_run, 0, sizeof g_run);
  ClearRemovalReport();
  ComposeKeyPaths();
  FetchSystemFolders();
  bool found;
  DWORD error = FindInstall(&found);
  if (error) {
    TellUnread(error);
    return RecordUnread;
  }
  if (!found) {
    MessageBoxA(nullptr, "Quillmark 2003 is not installed on this computer. Nothing was changed.",
                kUninstallCaption, MB_OK | MB_ICONINFORMATION);
    return NotInstalled;
  }
  if (!AskToRemove()) return Declined;
  // The same test that refuses to install over a running program.
  if (TestMainProgramUse(g_state.mainProgramPath) == kProgramHeld) {
    MessageBoxA(nullptr,
                "Quillmark 2003 is running. Close it, then run the uninstaller again.\n\n"
                "Nothing was removed.",
                kUninstallCaption, MB_OK | MB_ICONEXCLAMATION);
    return ProgramRunning;
  }
  LeaveInstallFolder();
  RemoveShortcuts();
  RemovePayloadFiles();
  if (NothingRemains()) RemoveRegistryEntries();
  if (NothingRemains()) RemoveRecord();
  if (NothingRemains()) RemoveMainProgram();
  if (NothingRemains()) RemoveEmptyKeys();
  if (NothingRemains()) RemoveInstallFolder();
  if (NothingRemains()) RemoveSelf();
  return TellOutcome(g_state.installFolder) == 0 ? Removed : PartlyRemoved;
}
