// The shell's special folders (CSIDL), by their file-system paths.
#pragma once

#include "core/win32.h"

// The shell's path of a special folder into `path` (520 bytes), emptied
// first; false when the shell has no file-system path for it. `owner` is the
// window the shell may show a message over, or null.
bool SpecialFolderPath(HWND owner, int csidl, char* path);
