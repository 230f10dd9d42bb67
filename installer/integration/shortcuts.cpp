// The Start menu, desktop and Quick Launch shortcuts to the installed program,
// made with the shell-link object. The COM library is loaded by name at run
// time: the installer does not import it, and a system without it simply
// gets no shortcuts.
#include <cstring>

#include "core/path.h"
#include "installer/integration/integration.h"
#include "installer/integration/registry.h"
#include "installer/integration/shell_link_com.h"
#include "installer/location/location.h"
#include "installer/state.h"

namespace {

const char kLinkName[] = "\\Quillmark 2003.lnk";
const char kDescription[] = "Opens your Quillmark screenwriting application.";
const char kMapGroupsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups";
const char kQuickLaunchBelowAppData[] = "\\Microsoft\\Internet Explorer\\Quick Launch";
const int kWidePathSize = 520;

// Set only while CreateShortcuts holds the library.
CoCreateInstanceFn g_coCreateInstance = nullptr;

HRESULT LastErrorResult() {
  DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// The result of the save, or of the first step that failed.
HRESULT MakeShellLink(const char* workingFolder, const char* target, const char* linkPath) {
  if (!g_coCreateInstance) return E_FAIL;
  IShellLinkA* link = nullptr;
  HRESULT hr = g_coCreateInstance(kClsidShellLink, nullptr, CLSCTX_INPROC_SERVER, kIidShellLinkA,
                                  reinterpret_cast<void**>(&link));
  if (FAILED(hr)) return hr;
  if (!link) return E_FAIL;
  // What the setters answer changes nothing: the save tells whether a link exists.
  link->SetPath(target);
  link->SetIconLocation(target, 0);
  link->SetDescription(kDescription);
  link->SetWorkingDirectory(workingFolder);
  IPersistFile* file = nullptr;
  hr = link->QueryInterface(kIidPersistFile, reinterpret_cast<void**>(&file));
  if (SUCCEEDED(hr) && file) {
    WCHAR wide[kWidePathSize] = {};
    // A path that cannot be converted whole is not saved under some other name.
    if (MultiByteToWideChar(CP_ACP, 0, linkPath, -1, wide, kWidePathSize) > 0)
      hr = file->Save(wide, TRUE);
    else
      hr = LastErrorResult();
    file->Release();
  } else if (SUCCEEDED(hr)) {
    hr = E_NOINTERFACE;
  }
  link->Release();
  return hr;
}

// Appends the link's name to the folder in `path`; false, with `path` empty,
// when that does not fit.
bool AppendLinkName(char* path) { return AppendText(path, kPathSize, kLinkName); }

// The user's own special folder, else the all-users one.
bool SpecialFolderEither(int csidl, int fallback, char* folder) {
  return SpecialFolderPath(csidl, folder) || SpecialFolderPath(fallback, folder);
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
bool DefaultQuickLaunch(char* folder) {
  if (!SpecialFolderPath(CSIDL_LOCAL_APPDATA, folder)) return false;
  size_t length = std::strlen(folder);
  if (length <= 8 || length >= 488) return false;
  DropTrailingBackslash(folder);
  return AppendText(folder, kPathSize, kQuickLaunchBelowAppData);
}

}  // namespace

bool ShortcutPath(ShortcutPlace place, char* path) {
  bool found = false;
  switch (place) {
    case kStartMenuShortcut:
      found = SpecialFolderEither(CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU, path);
      break;
    case kDesktopShortcut:
      found = SpecialFolderEither(CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY, path);
      break;
    case kQuickLaunchShortcut:
      found = MappedQuickLaunch(path) || DefaultQuickLaunch(path);
      break;
  }
  return found && AppendLinkName(path);
}

void CreateShortcuts() {
  ComLibrary com;
  if (!StartCom(&com)) return;
  g_coCreateInstance = com.createInstance;
  for (int place = 0; place < kShortcutPlaces; ++place) {
    char link[kPathSize];
    if (ShortcutPath(static_cast<ShortcutPlace>(place), link))
      MakeShellLink(g_state.installFolder, g_state.mainProgramPath, link);
  }
  g_coCreateInstance = nullptr;
  EndCom(com);
}
