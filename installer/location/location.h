// Where the program goes: the proposal and the test of a chosen folder.
#pragma once

#include "core/win32.h"

// The shell's path of a special folder (CSIDL) into `path` (520 bytes),
// emptied first; false when the shell has no file-system path for it.
bool SpecialFolderPath(int csidl, char* path);
// Fills the Program Files folder of the installer state; never fails.
void FindProgramFiles();
// Fills `proposed` (520 bytes): the folder an earlier install recorded, or
// Program Files plus the product folder. True when the recorded folder is
// valid and already holds the main program.
bool ProposeInstallFolder(char* proposed);
// True when an entry of the main program's name (file or folder) is in `folder`.
bool MainProgramExists(const char* folder);

// Accepts or refuses `folder` (the caller's 520-byte buffer, trailing
// backslashes trimmed in place). On acceptance the folder exists, is the
// current directory and is named in `folder` as the system names it; a
// refusal is shown only when `showErrors` is set.
bool ValidateInstallFolder(char* folder, bool showErrors);
// The part of `path` before its first backslash, plus one backslash, into
// `root` (520 bytes).
void PathRoot(const char* path, char* root);
