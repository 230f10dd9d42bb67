#include "installer/agreement/agreement_dialog.h"

#include <cstdlib>
#include <cstring>

#include "installer/dialog_buttons.h"
#include "installer/notices.h"
#include "installer/payload/payload.h"
#include "resources/resource_ids.h"

// Shows the agreement text, after checking that it begins as the product's
// own text does: anything else means the installer file is damaged.
static void ShowAgreementText(HWND dialog) {
  DWORD size = 0;
  HGLOBAL res = FindPayloadResource(kAgreementResource, &size);
  const char* bytes = res ? static_cast<const char*>(LockResource(res)) : nullptr;
  if (!bytes) {
    EndDialog(dialog, 2);
    return;
  }
  // The resource is not terminated; the edit control needs a text that is.
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size) + 8));
  if (!text) {
    FreeResource(res);
    EndDialog(dialog, 2);
    return;
  }
  std::memcpy(text, bytes, size);
  text[size] = '\0';
  if (size < 11 || std::memcmp(text, "Quillmark", 9) != 0) {
    ErrorNotice("Quil.exe installer file is damaged. Installation aborted.", "70");
    EndDialog(dialog, 2);
  } else {
    SetDlgItemTextA(dialog, IDC_AGREEMENT_TEXT, text);
  }
  std::free(text);
  FreeResource(res);
}

INT_PTR CALLBACK AgreementDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) {
    ShowAgreementText(dialog);
    return TRUE;
  }
  if (message != WM_COMMAND) return FALSE;
  return EndOnOkOrCancel(dialog, LOWORD(wParam)) ? TRUE : FALSE;
}
