// The Quillmark 2003 uninstaller, uninst1.exe. Its work is RunUninstaller
// (uninstaller/); the arguments are those of its command line, which
// only its own temporary copy is started with.
#include "core/win32.h"
#include "uninstaller/uninstall.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR arguments, int) { return RunUninstaller(arguments); }
