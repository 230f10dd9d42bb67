#include "core/library_search.h"

#include "core/path.h"

namespace {

// Whether SetDefaultDllDirectories took: then a load by bare name with
// LOAD_LIBRARY_SEARCH_SYSTEM32 looks in the system folder only (after the
// known DLLs and the side-by-side assemblies the manifest names, which come
// first whatever the flags: the common controls 6 still come from there).
bool g_searchRestricted = false;

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD directories);
typedef BOOL(WINAPI* SetDllDirectoryFn)(LPCSTR folder);

}  // namespace

bool RestrictLibrarySearch() {
  // kernel32 is a known DLL, always loaded and never looked for.
  HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  SetDefaultDllDirectoriesFn setDefault =
      kernel32 ? EntryPoint<SetDefaultDllDirectoriesFn>(kernel32, "SetDefaultDllDirectories")
               : nullptr;
  g_searchRestricted = setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!g_searchRestricted && kernel32) {
    SetDllDirectoryFn setDllDirectory = EntryPoint<SetDllDirectoryFn>(kernel32, "SetDllDirectoryA");
    if (setDllDirectory) setDllDirectory("");
  }
  return g_searchRestricted;
}

HMODULE LoadDelayedLibrary(const char* name, ULONG_PTR info) {
  HMODULE library = LoadSystemLibrary(name);
  if (!library) RaiseException(kDelayLoadModuleNotFound, 0, 1, &info);
  return library;
}

HMODULE LoadSystemLibrary(const char* name) {
  if (g_searchRestricted) return LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  // Without the restriction the system would still look beside the program
  // first, so the library is named by its full path; with the altered search
  // path, the libraries it needs are looked for beside it, in the system
  // folder, too.
  char folder[kPathSize];
  char path[kPathSize];
  UINT n = GetSystemDirectoryA(folder, kPathSize);
  if (n == 0 || n >= static_cast<UINT>(kPathSize) || !PathJoin(folder, name, path, kPathSize)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
