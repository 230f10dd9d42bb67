#include "installer/notices.h"

#include "core/path.h"
#include "installer/state.h"

void ErrorNotice(const char* text, const char* code) {
  char caption[kPathSize];
  if (!CopyText(caption, sizeof caption, "ERROR ") || !AppendText(caption, sizeof caption, code))
    CopyText(caption, sizeof caption, "ERROR");
  // No owner: the notice must not disable the backdrop or the progress dialog.
  MessageBoxA(nullptr, text, caption, MB_OK | MB_ICONHAND);
}

void SystemErrorNotice(DWORD error, const char* code) {
  if (error == 0) return;
  // Inserts are left unexpanded: a system text with %1 and no arguments
  // would otherwise be read past its end.
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr,
                           error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<LPSTR>(&text), 0, nullptr);
  // An error without a system text still gets its notice, with an empty text.
  ErrorNotice(n && text ? text : "", code);
  if (text) LocalFree(text);
}
