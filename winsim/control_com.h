// Test-side control of the libraries loaded by name, the COM library and the
// shell-link object. Included at the end of control.h.
#pragma once

#include <string>
#include <vector>

namespace winsim {

// A fresh machine has "OLE32.DLL", exporting "CoInitialize", "CoUninitialize"
// and "CoCreateInstance". Library names match without regard to case, and a
// name without an extension means ".DLL"; export names match exactly.
void RemoveLibrary(const std::string& name);  // LoadLibraryA: ERROR_MOD_NOT_FOUND
void RemoveExport(const std::string& library, const std::string& name);
int LibraryReferences(const std::string& name);  // loads not yet freed

// "KERNEL32.DLL" is always loaded (GetModuleHandleA finds it) and exports
// "SetDefaultDllDirectories" and "SetDllDirectoryA", as Windows 8 and later
// do; RemoveExport makes it an older kernel32. "LZ32.DLL", "VERSION.DLL",
// "WININET.DLL" and "COMCTL32.DLL" lie in the system folder, which
// GetSystemDirectoryA names (C:\WINDOWS\system32; "" makes it fail).
// LoadLibraryExA finds them by bare name with LOAD_LIBRARY_SEARCH_SYSTEM32,
// or by their full path in the system folder; nothing else lies anywhere.
void SetSystemDirectory(const std::string& path);
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

// Something else on the installer's thread has initialised COM already, so
// CoInitialize answers S_FALSE.
void ComAlreadyInitialized();
// Shell-link objects created and not yet released to nothing.
int LiveComObjects();

// A shell-link file as IPersistFile::Save writes it here: a small text record
// of the link's fields.
struct ShellLinkFile {
  std::string target;
  std::string iconPath;
  int iconIndex = 0;
  std::string description;
  std::string workingDirectory;
};
// False when the file is absent or is not a saved shell link.
bool ReadShellLink(const std::string& path, ShellLinkFile* link);
// Puts a shell-link file as IPersistFile::Save would write it (a test's own
// link, made by someone else than the program under test).
bool WriteShellLink(const std::string& path, const ShellLinkFile& link);

// Every IPersistFile::Save, in order: the path it was given and its result.
struct LinkSave {
  std::string path;
  HRESULT result;
};
const std::vector<LinkSave>& LinkSaves();

}  // namespace winsim
