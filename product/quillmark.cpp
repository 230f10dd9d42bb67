#include <windows.h>

#include "version.h"

namespace {

const char kClassName[] = "QuillmarkMainWindow";
const char kTitle[] = "Quillmark 2003";

// Copies at most dst_size-1 characters and always terminates, so an
// oversized command line is cut rather than overrunning the buffer.
void copy_bounded(char* dst, size_t dst_size, const char* src) {
  if (dst_size == 0) return;
  size_t i = 0;
  if (src != nullptr) {
    for (; i + 1 < dst_size && src[i] != '\0'; ++i) dst[i] = src[i];
  }
  dst[i] = '\0';
}

// Appends src after prefix into dst, truncating to fit.
void join_bounded(char* dst, size_t dst_size, const char* prefix, const char* src) {
  copy_bounded(dst, dst_size, prefix);
  size_t used = static_cast<size_t>(lstrlenA(dst));
  copy_bounded(dst + used, dst_size - used, src);
}

void paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);

  char dir[MAX_PATH + 1];
  DWORD n = GetCurrentDirectoryA(sizeof dir, dir);
  // A zero or too-large result leaves dir undefined; show nothing then.
  if (n == 0 || n >= sizeof dir) dir[0] = '\0';

  char cmd[1024];
  copy_bounded(cmd, sizeof cmd, GetCommandLineA());

  char line1[MAX_PATH + 64];
  char line2[sizeof cmd + 64];
  join_bounded(line1, sizeof line1, "Directory: ", dir);
  join_bounded(line2, sizeof line2, "Command line: ", cmd);
  const char line3[] = "Version " QUILLMARK_VERSION_STRING;

  SetBkMode(dc, TRANSPARENT);
  TextOutA(dc, 10, 10, line1, lstrlenA(line1));
  TextOutA(dc, 10, 30, line2, lstrlenA(line2));
  TextOutA(dc, 10, 50, line3, lstrlenA(line3));
  EndPaint(hwnd, &ps);
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT:
      paint(hwnd);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(hwnd, msg, wp, lp);
  }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = window_proc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = kClassName;
  if (!RegisterClassA(&wc)) return 1;

  HWND hwnd = CreateWindowA(kClassName, kTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, 640, 200, nullptr, nullptr, instance, nullptr);
  if (hwnd == nullptr) return 1;
  ShowWindow(hwnd, show);
  UpdateWindow(hwnd);

  MSG msg;
  BOOL got;
  while ((got = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return static_cast<int>(msg.wParam);
}
