#include "installer/location/location_dialog.h"

#include "core/path.h"
#include "installer/dialog_buttons.h"
#include "installer/state.h"
#include "resources/resource_ids.h"

// The browser writes the display name into this buffer, and the chosen
// folder's path after it; both are bounded by MAX_PATH, well inside.
static const SIZE_T kBrowseBufferSize = 908;

void BrowseForInstallFolder(HWND dialog) {
  LPMALLOC shellMalloc = nullptr;
  if (FAILED(SHGetMalloc(&shellMalloc)) || !shellMalloc) return;
  char* buffer = static_cast<char*>(shellMalloc->Alloc(kBrowseBufferSize));
  if (!buffer) {
    shellMalloc->Release();
    return;
  }
  BROWSEINFOA info = {};
  info.hwndOwner = dialog;
  info.pidlRoot = nullptr;
  info.pszDisplayName = buffer;
  info.lpszTitle = "A new folder will be created inside the selected folder.";
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&info);
  if (chosen) {
    char folder[kPathSize];
    if (SHGetPathFromIDListA(chosen, buffer) &&
        PathJoin(buffer, g_state.productName, folder, sizeof folder)) {
      CopyText(g_state.installFolder, sizeof g_state.installFolder, folder);
      SetDlgItemTextA(dialog, IDC_FOLDER, g_state.installFolder);
    }
    shellMalloc->Free(chosen);
  }
  shellMalloc->Free(buffer);
  shellMalloc->Release();
}

INT_PTR CALLBACK LocationDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetDlgItemTextA(dialog, IDC_FOLDER, g_state.installFolder);
    if (HWND change = GetDlgItem(dialog, IDC_CHANGE))
      EnableWindow(change, g_state.previousInstallFound ? FALSE : TRUE);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  if (EndOnOkOrCancel(dialog, LOWORD(wParam))) return TRUE;
  if (LOWORD(wParam) != IDC_CHANGE) return FALSE;
  BrowseForInstallFolder(dialog);
  return TRUE;
}
