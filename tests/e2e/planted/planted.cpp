// A library named like one of the system's, left beside a program by a
// journey. It exports nothing and does nothing but record, in the file that
// the environment variable PLANTED_LOG names, its own path when it is
// attached to a process. (Wine's loader trace records every load as well,
// also one whose caller fails before this runs.)
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char log[MAX_PATH], path[MAX_PATH + 2];
  DWORD n = GetEnvironmentVariableA("PLANTED_LOG", log, sizeof log);
  DWORD m = GetModuleFileNameA(self, path, MAX_PATH);
  if (n == 0 || n >= sizeof log || m == 0 || m >= MAX_PATH) return TRUE;
  path[m++] = '\r';
  path[m++] = '\n';
  HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return TRUE;
  DWORD written;
  WriteFile(file, path, m, &written, nullptr);
  CloseHandle(file);
  return TRUE;
}
