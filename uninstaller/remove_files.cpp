// The install's files: the shortcuts that point at its main program, the
// payload table's files, the main program, and the install folder when
// nothing of the user's is left in it.
#include <cstring>

#include "core/held_files.h"
#include "core/path.h"
#include "core/payload.h"
#include "core/product.h"
#include "core/shell_link_com.h"
#include "core/shortcut_places.h"
#include "uninstaller/removal_report.h"
#include "uninstaller/uninstall_steps.h"

namespace {

// Where the system would not say: what went there cannot be found again.
const char kNoWindowsDirectory[] = "the Windows directory could not be found";

void RemoveInFolder(const char* folder, const char* name) {
  char path[kPathSize];
  if (PathJoin(folder, name, path, sizeof path))
    RemoveInstalledFile(path);
  else
    NoteRemainingBecause(name, "its path is too long");
}

// True only when the system says that there is no such file: one whose
// attributes cannot be read may still be there. `attributes` gets what was
// read, INVALID_FILE_ATTRIBUTES when nothing was.
bool IsAbsent(const char* path, DWORD* attributes = nullptr) {
  DWORD read = GetFileAttributesA(path);
  if (attributes) *attributes = read;
  if (read != INVALID_FILE_ATTRIBUTES) return false;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

enum LinkReading { kLinkRead, kNoLink, kLinkUnread };

// Whether a failed load met a file that is no link (the shell-link object
// refuses its content) rather than one it could not read: the system gives
// the error of the read for the latter.
bool IsReadError(HRESULT hr) { return ((hr >> 16) & 0x1FFF) == FACILITY_WIN32; }

// The target of the shell link at `linkPath`, read through the shell-link
// object into `target` (kPathSize + 1 bytes).
LinkReading ReadLinkTarget(const ComLibrary& com, const char* linkPath, char* target) {
  std::memset(target, 0, kPathSize + 1);
  IShellLinkA* link = nullptr;
  if (FAILED(com.createInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA,
                                reinterpret_cast<void**>(&link))) ||
      !link)
    return kLinkUnread;
  LinkReading reading = kLinkUnread;
  IPersistFile* file = nullptr;
  if (SUCCEEDED(link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&file))) && file) {
    WCHAR wide[kPathSize] = {};
    if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wide, kPathSize) > 0) {
      HRESULT hr = file->Load(wide, STGM_READ);
      if (SUCCEEDED(hr)) {
        if (SUCCEEDED(link->GetPath(target, kPathSize, nullptr, SLGP_RAWPATH)))
          reading = kLinkRead;
      } else if (!IsReadError(hr)) {
        reading = kNoLink;
      }
    }
    file->Release();
  }
  link->Release();
  // A target that filled the buffer may have been left unterminated; cut so,
  // it names no file of ours.
  target[kPathSize] = '\0';
  return reading;
}

// Whether the install folder's entry `name` is the running uninstaller.
bool IsSelfInInstallFolder(const char* name) {
  return g_uninstall.selfIsInstalled && g_uninstall.selfInInstallFolder &&
         SameText(name, kUninstallerName);
}

// The uninstaller in the Windows directory is the install's when the
// uninstall entry names it, or when it is the one running: a run that had
// to stop may have removed the entry's values already. Under "nolmaccess"
// the installer could not have written it there.
bool IsWindowsCopyOfTheInstall() {
  if (g_uninstall.nolmaccess) return false;
  char windowsCopy[kPathSize];
  bool running = g_uninstall.self[0] &&
                 PathJoin(g_uninstall.windowsDirectory, kUninstallerName, windowsCopy,
                          sizeof windowsCopy) &&
                 SameText(windowsCopy, g_uninstall.self);
  return UninstallEntryNamesWindowsCopy() || running;
}

// One place the installer may have put the uninstaller: the running one is
// left to its copy, any other is deleted.
void RemoveUninstallerIn(const char* folder, bool isInstallFolder) {
  char path[kPathSize];
  if (!PathJoin(folder, kUninstallerName, path, sizeof path)) {
    NoteRemainingBecause(kUninstallerName, "its path is too long");
    return;
  }
  if (g_uninstall.self[0] && SameText(path, g_uninstall.self)) {
    g_uninstall.selfIsInstalled = true;
    g_uninstall.selfInInstallFolder = isInstallFolder;
    return;
  }
  RemoveInstalledFile(path);
}

}  // namespace

bool RemoveInstalledFile(const char* path) {
  DWORD attributes;
  if (IsAbsent(path, &attributes)) return true;
  // A folder of this name is not the install's file.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
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
// installer's; one of the same name that points elsewhere, or a file of that
// name that is no shortcut, is left alone. One that cannot be read is named
// as remaining: it may well be the installer's.
void RemoveShortcuts() {
  ComLibrary com;
  bool started = StartCom(&com);
  for (int place = 0; place < kShortcutPlaces; ++place) {
    char link[kPathSize];
    char target[kPathSize + 1];
    // The uninstaller has no window of its own to give the shell.
    if (!ShortcutPath(nullptr, static_cast<ShortcutPlace>(place), link) || IsAbsent(link)) continue;
    LinkReading reading = started ? ReadLinkTarget(com, link, target) : kLinkUnread;
    if (reading == kLinkUnread)
      NoteRemainingBecause(link, "it could not be read as a shortcut");
    else if (reading == kLinkRead && SameText(target, g_uninstall.mainProgramPath))
      RemoveInstalledFile(link);
  }
  if (started) EndCom(com);
}

void RemovePayloadFiles() {
  for (const PayloadEntry& row : kPayloadTable) {
    switch (row.folder) {
      case kInstallFolder:
        RemoveInFolder(g_uninstall.installFolder, row.name);
        break;
      case kWindowsDirectory:
        if (g_uninstall.windowsDirectory[0])
          RemoveInFolder(g_uninstall.windowsDirectory, row.name);
        else
          NoteRemainingBecause(row.name, kNoWindowsDirectory);
        break;
      case kUninstallerFolder:
        RemoveUninstallerIn(g_uninstall.installFolder, true);
        if (!g_uninstall.windowsDirectory[0])
          NoteRemainingBecause(row.name, kNoWindowsDirectory);
        else if (IsWindowsCopyOfTheInstall())
          RemoveUninstallerIn(g_uninstall.windowsDirectory, false);
        break;
    }
  }
  RemoveInFolder(g_uninstall.installFolder, kImageName);
}

void RemoveMainProgram() { RemoveInstalledFile(g_uninstall.mainProgramPath); }

void RemoveInstallFolder() {
  char pattern[kPathSize];
  if (!PathJoin(g_uninstall.installFolder, "*", pattern, sizeof pattern)) {
    NoteRemainingBecause(g_uninstall.installFolder, "its path is too long");
    return;
  }
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
      NoteRemaining(g_uninstall.installFolder, error);
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
  if (g_uninstall.selfIsInstalled && g_uninstall.selfInInstallFolder) {
    g_uninstall.copyRemovesFolder = true;
  } else if (!RemoveDirectoryA(g_uninstall.installFolder)) {
    NoteRemaining(g_uninstall.installFolder, GetLastError());
  }
}
