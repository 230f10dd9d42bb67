#pragma once

#include "core/win32.h"

enum ReplaceOutcome { Replaced = 1, InUse = 2, NewerPresent = 3, Failed = 5 };

// Puts the carried main program into the install folder through "image.tmp",
// unless the copy there is running or newer.
ReplaceOutcome ReplaceMainProgram();
// The fixed file version of `path`: major (upper 16 bits of the high half)
// and low (the whole low half), both 0 unless read. False when the file
// carries no version information.
bool ReadFileVersion(const char* path, DWORD* major, DWORD* low);
