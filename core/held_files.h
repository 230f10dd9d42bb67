// The install's files as both programs meet them: the main program's
// presence, and files that another process may hold for a while (a running
// main program, a file a scanner has just opened), waited for with short
// fixed pauses, never indefinitely.
#pragma once

#include "core/win32.h"

// Opens the file alone (reading and writing, no sharing), to learn whether
// another process holds it; true when it could be opened. Closed at once.
bool OpenAlone(const char* path, DWORD flags);

enum MainProgramUse { kProgramFree, kProgramHeld, kProgramUnopenable };
// Whether the main program at `path` is running: held when it cannot be
// opened alone for a sharing violation, twice, 3 seconds apart; unopenable
// for any other failure (no such file, for one).
MainProgramUse TestMainProgramUse(const char* path);

// DeleteWithRetry of folder, one backslash and name (also after a folder that
// ends in one).
void DeleteInFolder(const char* folder, const char* name);
// At most 10 attempts, each resetting the attributes to normal and deleting,
// 50 ms after every failed one. 0 once deleted, else the error of the last
// attempt.
DWORD DeleteWithRetry(const char* path);

// True when an entry of the name `mainProgramName` (file or folder) is in
// `folder`.
bool MainProgramExists(const char* folder, const char* mainProgramName);
