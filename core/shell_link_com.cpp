#include "core/shell_link_com.h"

bool StartCom(ComLibrary* com) {
  HMODULE ole32 = LoadLibraryA("OLE32.DLL");
  if (!ole32) return false;
  CoInitializeFn coInitialize = EntryPoint<CoInitializeFn>(ole32, "CoInitialize");
  CoUninitializeFn coUninitialize = EntryPoint<CoUninitializeFn>(ole32, "CoUninitialize");
  CoCreateInstanceFn coCreateInstance = EntryPoint<CoCreateInstanceFn>(ole32, "CoCreateInstance");
  if (!coInitialize || !coUninitialize || !coCreateInstance) {
    FreeLibrary(ole32);
    return false;
  }
  if (coInitialize(nullptr) != S_OK) return false;
  *com = ComLibrary{ole32, coUninitialize, coCreateInstance};
  return true;
}

void EndCom(const ComLibrary& com) {
  com.uninitialize();
  FreeLibrary(com.library);
}
