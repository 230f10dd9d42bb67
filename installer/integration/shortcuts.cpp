// The Start menu, desktop and Quick Launch shortcuts to the installed program,
// made with the shell-link object. The COM library is loaded by name at run
// time: the installer does not import it, and a system without it simply
// gets no shortcuts.
#include <cstring>

#include "installer/integration/integration.h"
#include "installer/integration/registry.h"
#include "installer/integration/shell_link_com.h"
#include "installer/location/location.h"
#include "installer/path.h"
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

// Appends the link's name to `folder` and makes the link there; a path too
// long for its buffer gives no link.
void LinkInto(char* folder) {
  if (AppendText(folder, kPathSize, kLinkName))
    MakeShellLink(g_state.installFolder, g_state.mainProgramPath, folder);
}

void LinkIntoSpecialFolder(int csidl, int fallback) {
  char folder[kPathSize];
  if (SpecialFolderPath(csidl, folder) || SpecialFolderPath(fallback, folder)) LinkInto(folder);
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

void CreateShortcuts() {
  HMODULE ole32 = LoadLibraryA("OLE32.DLL");
  if (!ole32) return;
  CoInitializeFn coInitialize = EntryPoint<CoInitializeFn>(ole32, "CoInitialize");
  CoUninitializeFn coUninitialize = EntryPoint<CoUninitializeFn>(ole32, "CoUninitialize");
  CoCreateInstanceFn coCreateInstance = EntryPoint<CoCreateInstanceFn>(ole32, "CoCreateInstance");
  if (!coInitialize || !coUninitialize || !coCreateInstance) {
    FreeLibrary(ole32);
    return;
  }
  // Only a COM of our own making is used: when the thread had it already
  // (S_FALSE) or it fails, the step ends at once, with no shortcuts, no
  // CoUninitialize, and the library left as it is.
  if (coInitialize(nullptr) != S_OK) return;
  g_coCreateInstance = coCreateInstance;

  LinkIntoSpecialFolder(CSIDL_STARTMENU, CSIDL_COMMON_STARTMENU);
  LinkIntoSpecialFolder(CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY);
  char quickLaunch[kPathSize];
  if (MappedQuickLaunch(quickLaunch) || DefaultQuickLaunch(quickLaunch)) LinkInto(quickLaunch);

  g_coCreateInstance = nullptr;
  coUninitialize();
  FreeLibrary(ole32);
}
