// The install's files: the shortcuts that point at its main program, the
// payload table's files, the main program, and the install folder when
// nothing of the user's is left in it.
#include <cstring>

#include "installer/integration/integration.h"
#include "installer/integration/shell_link_com.h"
#include "installer/path.h"
#include "installer/payload/held_files.h"
#include "installer/payload/payload.h"
#include "installer/payload/replace_main_program.h"
#include "installer/uninstall/removal_report.h"
#include "installer/uninstall/uninstall_steps.h"

namespace {

void RemoveInFolder(const char* folder, const char* name) {
  char path[kPathSize];
  if (PathJoin(folder, name, path, sizeof path))
    RemoveInstalledFile(path);
  else
    NoteRemainingBecause(name, "its path is too long");
}

// The target of the shell link at `linkPath`, read through the shell-link
// object into `target` (kPathSize + 1 bytes); empty when it is no link.
void ReadLinkTarget(const ComLibrary& com, const char* linkPath, char* target) {
  std::memset(target, 0, kPathSize + 1);
  IShellLinkA* link = nullptr;
  if (FAILED(com.createInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA,
                                reinterpret_cast<void**>(&link))) ||
      !link)
    return;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&file))) && file) {
    WCHAR wide[kPathSize] = {};
    if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wide, kPathSize) > 0 &&
        SUCCEEDED(file->Load(wide, STGM_READ)))
      link->GetPath(target, kPathSize, nullptr, SLGP_RAWPATH);
    file->Release();
  }
  link->Release();
  // A target that filled the buffer may have been left unterminated; cut so,
  // it names no file of ours.
  target[kPathSize] = '\0';
}

// Whether the install folder's entry `name` is the running uninstaller.
bool IsSelfInInstallFolder(const char* name) {
  return g_run.selfIsInstalled && g_run.selfInInstallFolder &&
         SameText(name, g_state.uninstallerName);
}

// One place the installer may have put the uninstaller: the running one is
// left to its copy, any other is deleted.
void RemoveUninstallerIn(const char* folder, bool isInstallFolder) {
  char path[kPathSize];
  if (!PathJoin(folder, g_state.uninstallerName, path, sizeof path)) {
    NoteRemainingBecause(g_state.uninstallerName, "its path is too long");
    return;
  }
  if (g_run.self[0] && SameText(path, g_run.self)) {
    g_run.selfIsInstalled = true;
    g_run.selfInInstallFolder = isInstallFolder;
    return;
  }
  RemoveInstalledFile(path);
}

}  // namespace

bool RemoveInstalledFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return true;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return true;  // a folder of this name is not the install's file
  }
  DWORD error = DeleteWithRetry(path);
  if (error == 0) return true;
  // The system refuses to delete a running program's file as "access
  // denied"; that it is in use is the truer reason.
  if (error == ERROR_ACCESS_DENIED && !OpenAlone(path, FILE_ATTRIBUTE_NORMAL) &&
      GetLastError() == ERROR_SHARING_VIOLATION)
    error = ERROR_SHARING_VIOLATION;
  NoteRemaining(path, error);
  return false;
}

// Only a shortcut that points at this install's main program is the
// installer's; one of the same name that points elsewhere is left alone.
void RemoveShortcuts() {
  ComLibrary com;
  if (!StartCom(&com)) return;
  for (int place = 0; place < kShortcutPlaces; ++place) {
    char link[kPathSize];
    char target[kPathSize + 1];
    if (!ShortcutPath(static_cast<ShortcutPlace>(place), link) ||
        GetFileAttributesA(link) == INVALID_FILE_ATTRIBUTES)
      continue;
    ReadLinkTarget(com, link, target);
    if (SameText(target, g_state.mainProgramPath)) RemoveInstalledFile(link);
  }
  EndCom(com);
}

void RemovePayloadFiles() {
  for (const PayloadEntry& row : kPayloadTable) {
    switch (row.folder) {
      case kInstallFolder:
        RemoveInFolder(g_state.installFolder, row.name);
        break;
      case kWindowsDirectory:
        // Without a Windows directory there is no telling where it went.
        if (g_state.windowsDirectory[0]) RemoveInFolder(g_state.windowsDirectory, row.name);
        break;
      case kUninstallerFolder:
        RemoveUninstallerIn(g_state.installFolder, true);
        if (g_state.windowsDirectory[0] && UninstallEntryNamesWindowsCopy())
          RemoveUninstallerIn(g_state.windowsDirectory, false);
        break;
    }
  }
  RemoveInFolder(g_state.installFolder, kImageName);
}

void RemoveMainProgram() { RemoveInstalledFile(g_state.mainProgramPath); }

void RemoveInstallFolder() {
  char pattern[kPathSize];
  if (!PathJoin(g_state.installFolder, "*", pattern, sizeof pattern)) {
    NoteRemainingBecause(g_state.installFolder, "its path is too long");
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      NoteRemaining(g_state.installFolder, error);
    return;
  }
  bool kept = false;
  do {
    found.cFileName[MAX_PATH - 1] = '\0';
    const char* name = found.cFileName;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || IsSelfInInstallFolder(name))
      continue;
    NoteKept(name);
    kept = true;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  if (kept) return;
  if (g_run.selfIsInstalled && g_run.selfInInstallFolder) {
    g_run.copyRemovesFolder = true;
  } else if (!RemoveDirectoryA(g_state.installFolder)) {
    NoteRemaining(g_state.installFolder, GetLastError());
  }
}
