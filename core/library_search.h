// Where the programs' libraries come from: the system folder, never the
// folder a program was started from. Quil.exe runs from a download folder
// and the uninstaller's copy from TEMP, where anyone may have left a file
// named like a system library; the system looks beside a program first.
#pragma once

#include "core/win32.h"

// Each program's first act, before any window or other library call: keeps
// every later library search to the system folder. True when the system
// can (SetDefaultDllDirectories); false on a system without it (XP, Vista,
// 7 without KB2533623), where only the current folder is taken out of the
// search (SetDllDirectoryA "") and LoadSystemLibrary loads by full path.
bool RestrictLibrarySearch();

// Loads the library `name`, a bare file name, from the system folder alone;
// null with the system's error when it is not there, or when the system
// folder cannot be named. Libraries the library needs come from there too.
HMODULE LoadSystemLibrary(const char* name);

// The exception the delay-load helper raises for a library it cannot load
// (VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND) of delayimp.h).
const DWORD kDelayLoadModuleNotFound = ERROR_SEVERITY_ERROR | (0x6D << 16) | ERROR_MOD_NOT_FOUND;

// The delay-load hook's load of `name` (installer/delay_load.cpp): the
// library from the system folder. When it is not there, the helper's own
// exception is raised, with `info` (the helper's record of the load) as its
// argument: returning null would have the helper try the plain search, which
// on a system without the restriction begins beside the program.
HMODULE LoadDelayedLibrary(const char* name, ULONG_PTR info);

// The entry point `name` of a loaded library as the function type it has, or
// null when the library does not export it.
template <typename Fn>
Fn EntryPoint(HMODULE library, const char* name) {
  // Through the one function type that converts to every other without a
  // warning.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}
