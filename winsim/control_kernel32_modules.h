// Test-side control of kernel32's modules: the program's own module, its
// "FILE" resources and file name, the system's texts, and the libraries a
// program loads by name.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// The installer's own module, as WinMain receives it. Icons load from it;
// a window class registered with it is found only with it.
HINSTANCE ModuleHandle();
void SetModulePath(const std::string& path);

// "FILE" resources of the module, by id.
void SetResource(WORD id, const std::string& bytes);
void RemoveResource(WORD id);
std::string ResourceData(WORD id);  // empty when absent

// System texts handed out by FormatMessageA and not yet given back with LocalFree.
int LiveLocalAllocs();

// A fresh machine has "OLE32.DLL", exporting "CoInitialize", "CoUninitialize"
// and "CoCreateInstance". Library names match without regard to case, and a
// name without an extension means ".DLL"; export names match exactly.
void RemoveLibrary(const std::string& name);  // LoadLibraryA: ERROR_MOD_NOT_FOUND
void RemoveExport(const std::string& library, const std::string& name);
int LibraryReferences(const std::string& name);  // loads not yet freed

// "KERNEL32.DLL" is always loaded (GetModuleHandleA finds it) and exports
// "SetDefaultDllDirectories" and "SetDllDirectoryA", as Windows 8 and later
// do; RemoveExport makes it an older kernel32. "LZ32.DLL", "VERSION.DLL",
// "WININET.DLL" and "COMCTL32.DLL" lie in the system folder
// (SetSystemDirectory, control_kernel32_files.h). LoadLibraryExA finds them
// by bare name with LOAD_LIBRARY_SEARCH_SYSTEM32, or by their full path in
// the system folder; nothing else lies anywhere.
//
// What the program asked of the library search: the directories given to
// SetDefaultDllDirectories (0: never called), and whether SetDllDirectoryA
// was called, with what.
struct LibrarySearch {
  DWORD defaultDirectories = 0;
  bool dllDirectorySet = false;
  std::string dllDirectory;
};
const LibrarySearch& LibrarySearchState();
// Every LoadLibraryExA, in order.
struct LibraryLoad {
  std::string name;
  DWORD flags;
  bool loaded;
};
const std::vector<LibraryLoad>& LibraryLoads();

}  // namespace winsim
