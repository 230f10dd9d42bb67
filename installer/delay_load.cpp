// The Windows build's delay-load hook (cmake/delay_load.cmake): every
// delay-loaded library comes from the system folder, through
// LoadDelayedLibrary, and from nowhere else.
#include "core/library_search.h"

#include <delayimp.h>

static_assert(kDelayLoadModuleNotFound == VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND),
              "the helper's exception for a library it cannot load");

namespace {

FARPROC WINAPI LoadFromSystemFolder(unsigned note, PDelayLoadInfo info) {
  if (note != dliNotePreLoadLibrary) return nullptr;
  return reinterpret_cast<FARPROC>(
      LoadDelayedLibrary(info->szDll, reinterpret_cast<ULONG_PTR>(info)));
}

}  // namespace

// The helper (mingw-w64's __delayLoadHelper2) asks this hook before it loads
// a library itself; delayimp.h declares it with C linkage.
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
