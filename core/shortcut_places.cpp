#include "core/shortcut_places.h"

#include <cstring>

#include "core/path.h"
#include "core/registry.h"
#include "core/shell_folders.h"

namespace {

const char kLinkName[] = "\\Quillmark 2003.lnk";
const char kMapGroupsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups";
const char kQuickLaunchBelowAppData[] = "\\Microsoft\\Internet Explorer\\Quick Launch";

// Appends the link's name to the folder in `path`; false, with `path` empty,
// when that does not fit.
bool AppendLinkName(char* path) { return AppendText(path, kPathSize, kLinkName); }

// The user's own special folder, else the all-users one.
bool SpecialFolderEither(HWND owner, int csidl, int fallback, char* folder) {
  return SpecialFolderPath(owner, csidl, folder) || SpecialFolderPath(owner, fallback, folder);
}

// The folder the user's own settings name for Quick Launch, used as it is
// stored (a trailing backslash stays), into `folder` (520 bytes).
bool MappedQuickLaunch(char* folder) {
  folder[0] = '\0';
  HKEY key;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kMapGroupsKey, &key) != ERROR_SUCCESS) return false;
  bool found = false;
  if (ReadRegString(key, "Quick Launch", folder, kPathSize) == ERROR_SUCCESS) {
    size_t length = std::strlen(folder);
    found = length > 4 && length < 488;
  }
  RegCloseKey(key);
  return found;
}

// The Quick Launch folder under the user's local application data.
bool DefaultQuickLaunch(HWND owner, char* folder) {
  if (!SpecialFolderPath(owner, CSIDL_LOCAL_APPDATA, folder)) return false;
  size_t length = std::strlen(folder);
  if (length <= 8 || length >= 488) return false;
  DropTrailingBackslash(folder);
  return AppendText(folder, kPathSize, kQuickLaunchBelowAppData);
}

}  // namespace

bool ShortcutPath(HWND owner, ShortcutPlace place, char* path) {
  bool found = false;
  switch (place) {
    case kStartMenuShortcut:
      found = SpecialFolderEither(owner, CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU, path);
      break;
    case kDesktopShortcut:
      found = SpecialFolderEither(owner, CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY, path);
      break;
    case kQuickLaunchShortcut:
      found = MappedQuickLaunch(path) || DefaultQuickLaunch(owner, path);
      break;
  }
  return found && AppendLinkName(path);
}
