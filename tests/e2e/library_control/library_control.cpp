// The libraries journey's control: a program that does everything Quil.exe
// does about its libraries and nothing else. It imports only known DLLs,
// keeps the library search to the system folder first, loads the common
// controls 6 from there as its manifest asks, and shows a themed window with
// a button and an edit box for two seconds. Whatever library left beside it
// is loaded all the same is loaded by Wine on its own account (Wine's
// builtin libraries load theirs by the plain search): the journey leaves
// those out of its check of Quil.exe.
#include <windows.h>

#include "core/library_search.h"

namespace {

void CALLBACK Stop(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); }

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RestrictLibrarySearch();
  HMODULE controls = LoadSystemLibrary("COMCTL32.DLL");
  typedef void(WINAPI * InitFn)();
  InitFn init = controls ? EntryPoint<InitFn>(controls, "InitCommonControls") : nullptr;
  if (!init) return 1;
  init();
  HWND window = CreateWindowExA(0, "#32770", "library control", WS_POPUP | WS_VISIBLE | WS_CAPTION,
                                100, 100, 300, 120, nullptr, nullptr, instance, nullptr);
  CreateWindowExA(0, "BUTTON", "OK", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 10, 10, 80, 24,
                  window, reinterpret_cast<HMENU>(1), instance, nullptr);
  CreateWindowExA(WS_EX_CLIENTEDGE, "EDIT", "text", WS_CHILD | WS_VISIBLE, 10, 44, 200, 24, window,
                  reinterpret_cast<HMENU>(2), instance, nullptr);
  SetTimer(nullptr, 0, 2000, Stop);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  DestroyWindow(window);
  return 0;
}
