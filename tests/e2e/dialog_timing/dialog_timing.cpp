// dialog_timing: makes, one by one, the window calls that the installer makes
// between the Enter on "Accept" and its first file, and prints what each one
// costs. A modal dialog with the agreement's styles is ended by a timer; then
// a modeless one is made and destroyed as the progress dialog is.
//
// Under Wine on a display without a window manager, hiding a dialog waits for
// a window manager's answer that never comes; this program shows that wait
// apart from everything else the installer does.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

LARGE_INTEGER g_frequency;
LARGE_INTEGER g_ended;

double MsSince(const LARGE_INTEGER& then) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return 1000.0 * static_cast<double>(now.QuadPart - then.QuadPart) /
         static_cast<double>(g_frequency.QuadPart);
}

// An in-memory template: a popup with a modal frame, centred, in the
// installer's dialog font, with one default push button.
struct Template {
  WORD words[256];
  size_t used = 0;
  void Word(WORD w) { words[used++] = w; }
  void Dword(DWORD d) {
    Word(LOWORD(d));
    Word(HIWORD(d));
  }
  void Text(const char* s) {
    do Word(static_cast<WORD>(static_cast<unsigned char>(*s))); while (*s++);
  }
  void Align() {
    if (used % 2) Word(0);
  }
};

const DLGTEMPLATE* MakeTemplate(Template* t, DWORD style) {
  t->Dword(style | DS_SETFONT);
  t->Dword(0);   // extended style
  t->Word(1);    // one control
  t->Word(0);
  t->Word(0);
  t->Word(284);  // the agreement dialog's size
  t->Word(202);
  t->Word(0);    // no menu
  t->Word(0);    // the dialog class
  t->Word(0);    // no title
  t->Word(8);
  t->Text("MS Sans Serif");
  t->Align();
  t->Dword(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON);
  t->Dword(0);
  t->Word(113);
  t->Word(166);
  t->Word(60);
  t->Word(14);
  t->Word(IDOK);
  t->Word(0xFFFF);
  t->Word(0x0080);  // button
  t->Text("Accept");
  t->Word(0);       // no creation data
  return reinterpret_cast<const DLGTEMPLATE*>(t->words);
}

INT_PTR CALLBACK EndsItself(HWND dialog, UINT message, WPARAM, LPARAM) {
  if (message == WM_INITDIALOG) {
    SetTimer(dialog, 1, 300, nullptr);
    return TRUE;
  }
  if (message == WM_TIMER) {
    KillTimer(dialog, 1);
    QueryPerformanceCounter(&g_ended);
    EndDialog(dialog, IDOK);
    return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK Quiet(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

}  // namespace

int main() {
  QueryPerformanceFrequency(&g_frequency);
  HINSTANCE instance = GetModuleHandleA(nullptr);
  Template modal, modeless;
  const DLGTEMPLATE* first = MakeTemplate(&modal, WS_POPUP | DS_MODALFRAME | DS_CENTER);
  const DLGTEMPLATE* second =
      MakeTemplate(&modeless, WS_POPUP | WS_VISIBLE | DS_MODALFRAME | DS_CENTER);

  DialogBoxIndirectParamA(instance, first, nullptr, EndsItself, 0);
  std::printf("modal dialog, EndDialog to DialogBoxIndirectParamA's return: %.0f ms\n",
              MsSince(g_ended));

  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  HWND progress = CreateDialogIndirectParamA(instance, second, nullptr, Quiet, 0);
  std::printf("modeless dialog, CreateDialogIndirectParamA: %.0f ms\n", MsSince(start));
  QueryPerformanceCounter(&start);
  if (progress) DestroyWindow(progress);
  std::printf("modeless dialog, DestroyWindow: %.0f ms\n", MsSince(start));
  std::fflush(stdout);
  return 0;
}
