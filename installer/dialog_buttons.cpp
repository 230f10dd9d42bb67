#include "installer/dialog_buttons.h"

bool EndOnOkOrCancel(HWND dialog, WORD control) {
  if (control != IDOK && control != IDCANCEL) return false;
  EndDialog(dialog, control == IDOK ? 1 : 2);
  return true;
}
