// The Start menu, desktop and Quick Launch shortcuts to the installed program,
// made with the shell-link object in the places the core names. The COM
// library is loaded by name at run time: the installer does not import it,
// and a system without it simply gets no shortcuts.
#include "core/path.h"
#include "core/shell_link_com.h"
#include "installer/integration/integration.h"
#include "installer/state.h"

namespace {

const char kDescription[] = "Opens your Quillmark screenwriting application.";
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

}  // namespace

// The shell's answers are owned by the backdrop, as every other window of the
// install is.
bool ShortcutPath(ShortcutPlace place, char* path) {
  return ShortcutPath(g_state.backdropWindow, place, path);
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
