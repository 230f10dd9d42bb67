#include <windows.h>

// Stand-in for the Quillmark 2003 uninstaller: it asks for confirmation and
// reports the answer through the exit code, but removes nothing. Tests of the
// installer only need a real program at this path that behaves politely.

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int answer = MessageBoxA(nullptr,
                           "Are you sure you want to remove Quillmark 2003 and all of its "
                           "components?",
                           "Quillmark 2003 uninstall", MB_YESNO | MB_ICONQUESTION);
  if (answer != IDYES) return 1;
  MessageBoxA(nullptr, "Quillmark 2003 was removed from your computer.",
              "Quillmark 2003 uninstall", MB_OK | MB_ICONINFORMATION);
  return 0;
}
