// The uninstaller's sequence: find the install as the installer recorded it,
// ask, refuse while the program runs, then remove step by step and tell what
// came of it.
#include "uninstaller/uninstall.h"

#include <cstring>

#include "core/held_files.h"
#include "core/library_search.h"
#include "core/path.h"
#include "core/product.h"
#include "core/registry.h"
#include "core/system_folders.h"
#include "uninstaller/removal_report.h"
#include "uninstaller/uninstall_steps.h"

UninstallerState g_uninstall;

namespace {

// The system's folders as the installer keeps them, and the running
// program's own file.
void FetchFolders() {
  FetchWindowsDirectory(g_uninstall.windowsDirectory);
  FetchTempFolder(g_uninstall.tempFolder);
  DWORD s = GetModuleFileNameA(nullptr, g_uninstall.self, kPathSize);
  // A name cut short names no file of ours.
  if (s == 0 || s >= static_cast<DWORD>(kPathSize)) g_uninstall.self[0] = '\0';
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
  LONG status = OpenExistingRegKey(HKEY_CURRENT_USER, g_uninstall.settingsKeyPath, KEY_READ, &settings);
  if (status != ERROR_SUCCESS) return Unread(static_cast<DWORD>(status));
  DWORD flag = 0;
  status = ReadRegNumber(settings, kNolmaccessValue, &flag);
  RegCloseKey(settings);
  g_uninstall.nolmaccess = status == ERROR_SUCCESS && flag ? 1 : 0;
  return status == ERROR_SUCCESS ? 0 : Unread(static_cast<DWORD>(status));
}

// The recorded "Path" into `folder` (kPathSize bytes), "" when there is none
// (none, too long, or beginning with ':' as the installer counts it); 0, or
// the error that kept it from being read.
DWORD ReadRecordedFolder(char* folder) {
  folder[0] = '\0';
  HKEY root;
  const char* path;
  MachineKeyLocation(g_uninstall.nolmaccess, g_uninstall.settingsKeyPath, &root, &path);
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
  if (!CopyText(g_uninstall.installFolder, kPathSize, folder) ||
      !PathJoin(folder, kMainProgramName, g_uninstall.mainProgramPath, kPathSize))
    return 0;  // a folder too long for the program: the installer refuses such
  SetLastError(0);
  *found = MainProgramExists(folder, kMainProgramName);
  return *found ? 0 : Unread(GetLastError());
}

bool AskToRemove() {
  char question[kPathSize + 512];
  bool composed = CopyText(question, sizeof question,
                           "Do you want to remove Quillmark 2003 from your computer?\n\n"
                           "Its program and files will be removed from the folder\n    ") &&
                  AppendText(question, sizeof question, g_uninstall.installFolder) &&
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
  if (!SetCurrentDirectoryA(g_uninstall.windowsDirectory)) SetCurrentDirectoryA(g_uninstall.tempFolder);
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
  if (!g_uninstall.selfIsInstalled) return;
  DWORD error = StartRemovalCopy(g_uninstall.copyRemovesFolder);
  if (error) NoteRemaining(g_uninstall.self, error);
}

}  // namespace

int RunUninstaller(const char* arguments) {
  // Both runs: from the Windows directory, and as the copy in TEMP.
  RestrictLibrarySearch();
  if (IsRemovalCopy(arguments)) return RunRemovalCopy(arguments);
  std::memset(&g_uninstall, 0, sizeof g_uninstall);
  ClearRemovalReport();
  ComposeProductKeyPath(kProductName, kSettingsKeyLeaf, g_uninstall.settingsKeyPath);
  FetchFolders();
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
  if (TestMainProgramUse(g_uninstall.mainProgramPath) == kProgramHeld) {
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
  return TellOutcome(g_uninstall.installFolder) == 0 ? Removed : PartlyRemoved;
}
