// Where the shortcuts to the installed program go: the installer makes them
// there and the uninstaller looks for them there, so the two cannot differ.
#pragma once

#include "core/win32.h"

// The three places a shortcut goes, in the order they are made.
enum ShortcutPlace { kStartMenuShortcut, kDesktopShortcut, kQuickLaunchShortcut };
const int kShortcutPlaces = 3;

// The full path of the shortcut file in `place` into `path` (520 bytes): the
// user's own folder, else the all-users one; for Quick Launch, the folder the
// user's settings name, else the one under the local application data. False
// when there is none. `owner` is passed to the shell (SpecialFolderPath).
bool ShortcutPath(HWND owner, ShortcutPlace place, char* path);
