#include <windows.h>

// Background helper of Quillmark 2003. It owns a hidden message-only window
// so that the application can find it by class name; a second copy sees the
// named mutex and leaves at once instead of running twice.

namespace {

const char kClassName[] = "QuillmarkMonitor03";
const char kMutexName[] = "Kestrel.Quillmark.wmon03";
const UINT_PTR kIdleTimer = 1;
// The helper has nothing to watch in this build; it stays briefly so a
// caller that waits for it sees a normal start and exit.
const UINT kLifetimeMs = 2000;

LRESULT CALLBACK monitor_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TIMER:
      if (wp == kIdleTimer) DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd, kIdleTimer);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, msg, wp, lp);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kMutexName);
  if (mutex == nullptr) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return 0;
  }

  WNDCLASSA wc = {};
  wc.lpfnWndProc = monitor_proc;
  wc.hInstance = instance;
  wc.lpszClassName = kClassName;
  int rc = 1;
  if (RegisterClassA(&wc)) {
    HWND hwnd = CreateWindowA(kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              instance, nullptr);
    if (hwnd != nullptr && SetTimer(hwnd, kIdleTimer, kLifetimeMs, nullptr) != 0) {
      MSG msg;
      BOOL got;
      while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0 && got != -1) {
        DispatchMessageA(&msg);
      }
      rc = 0;
    } else if (hwnd != nullptr) {
      DestroyWindow(hwnd);
    }
  }
  CloseHandle(mutex);
  return rc;
}
