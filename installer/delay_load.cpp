// The Windows build's delay-load hook (cmake/delay_load.cmake): every
// delay-loaded library comes from the system folder, through
// LoadSystemLibrary, and from nowhere else.
#include "core/library_search.h"

#include <delayimp.h>

namespace {

FARPROC WINAPI LoadFromSystemFolder(unsigned note, PDelayLoadInfo info) {
  if (note != dliNotePreLoadLibrary) return nullptr;
  HMODULE library = LoadSystemLibrary(info->szDll);
  if (!library) {
    // Returning nothing would have the helper try the plain search, which
    // on a system without the restriction begins beside the program. The
    // helper's own report of a library it cannot load is raised instead.
    ULONG_PTR argument = reinterpret_cast<ULONG_PTR>(info);
    RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, &argument);
  }
  return reinterpret_cast<FARPROC>(library);
}

}  // namespace

// The helper (mingw-w64's __delayLoadHelper2) asks this hook before it loads
// a library itself; delayimp.h declares it with C linkage.
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
