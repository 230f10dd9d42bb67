// kernel32's modules: the program's own module, its "FILE" resources and
// file name, the system's texts, and the libraries a program loads by name,
// with the search that finds them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "winsim/machine.h"

namespace winsim {
namespace {

const uintptr_t kModule = 0x400000;
const char kOle32[] = "OLE32.DLL";
const uintptr_t kOle32Handle = 0x76000000;
const char kKernel32[] = "KERNEL32.DLL";
// The libraries of the system folder that the installer loads at run time.
const char* const kSystemLibraries[] = {"LZ32.DLL", "VERSION.DLL", "WININET.DLL", "COMCTL32.DLL"};

struct Library {
  uintptr_t handle;
  std::map<std::string, FARPROC> exports;
  int references = 0;
};

struct Modules {
  std::map<std::string, Library> libraries;  // by upper-case name
  LibrarySearch search;
  std::vector<LibraryLoad> loads;
};

Modules& C() {
  static Modules modules;
  return modules;
}

std::string LibraryKey(std::string name) {
  name = Upper(SystemText(name));
  std::replace(name.begin(), name.end(), '/', '\\');
  size_t slash = LastSeparator(name);
  if (name.find('.', slash == std::string::npos ? 0 : slash) == std::string::npos) name += ".DLL";
  return name;
}

BOOL WINAPI SetDefaultDllDirectoriesSim(DWORD directories) {
  if (ShouldFail("SetDefaultDllDirectories")) return FALSE;
  // The one value a program may give alone besides the combinations of the
  // LOAD_LIBRARY_SEARCH_* flags, none of which the installer uses.
  if (directories != LOAD_LIBRARY_SEARCH_SYSTEM32) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  C().search.defaultDirectories = directories;
  Note("library search system32");
  return TRUE;
}

BOOL WINAPI SetDllDirectoryASim(LPCSTR folder) {
  if (ShouldFail("SetDllDirectoryA")) return FALSE;
  C().search.dllDirectorySet = true;
  C().search.dllDirectory = folder ? folder : "<null>";
  Note("dll directory \"" + C().search.dllDirectory + "\"");
  return TRUE;
}

// The library a LoadLibraryExA finds, or null: by bare name with the search
// kept to the system folder, or by a full path into that folder.
Library* FindSystemLibrary(const std::string& given, DWORD flags) {
  const std::string name = SystemText(given);
  size_t slash = LastSeparator(name);
  bool bare = slash == std::string::npos;
  bool inSystemFolder = flags == LOAD_LIBRARY_SEARCH_SYSTEM32
                            ? bare
                            : !bare && !M().systemDirectory.empty() &&
                                  Upper(name.substr(0, slash)) ==
                                      Upper(SystemText(M().systemDirectory));
  if (!inSystemFolder) return nullptr;
  auto it = C().libraries.find(LibraryKey(bare ? name : name.substr(slash + 1)));
  return it == C().libraries.end() ? nullptr : &it->second;
}


}  // namespace

void ResetModules() {
  C() = Modules();
  C().libraries[kOle32] = Library{kOle32Handle, Ole32Exports(), 0};
  // Loaded with the process, and never freed.
  Library kernel32{0x7B000000, {}, 1};
  kernel32.exports["SetDefaultDllDirectories"] = Export(&SetDefaultDllDirectoriesSim);
  kernel32.exports["SetDllDirectoryA"] = Export(&SetDllDirectoryASim);
  C().libraries[kKernel32] = kernel32;
  uintptr_t handle = 0x70000000;
  for (const char* name : kSystemLibraries) C().libraries[name] = Library{handle += 0x100000, {}, 0};
}

HINSTANCE ModuleHandle() { return reinterpret_cast<HINSTANCE>(kModule); }
void SetModulePath(const std::string& path) { M().modulePath = path; }
void SetResource(WORD id, const std::string& bytes) { M().resources[id] = bytes; }
void RemoveResource(WORD id) { M().resources.erase(id); }
std::string ResourceData(WORD id) {
  auto it = M().resources.find(id);
  return it == M().resources.end() ? std::string() : it->second;
}
int LiveLocalAllocs() { return M().liveLocalAllocs; }
const LibrarySearch& LibrarySearchState() { return C().search; }
const std::vector<LibraryLoad>& LibraryLoads() { return C().loads; }

HMODULE LoadedModule(const char* name) {
  auto it = C().libraries.find(LibraryKey(name));
  if (it == C().libraries.end() || it->second.references == 0) return nullptr;
  return reinterpret_cast<HMODULE>(it->second.handle);
}

void RemoveLibrary(const std::string& name) { C().libraries.erase(LibraryKey(name)); }
void RemoveExport(const std::string& library, const std::string& name) {
  auto it = C().libraries.find(LibraryKey(library));
  if (it != C().libraries.end()) it->second.exports.erase(name);
}
int LibraryReferences(const std::string& name) {
  auto it = C().libraries.find(LibraryKey(name));
  return it == C().libraries.end() ? 0 : it->second.references;
}

}  // namespace winsim

using namespace winsim;

HMODULE GetModuleHandleA(LPCSTR name) {
  if (!name) return ModuleHandle();
  HMODULE loaded = LoadedModule(name);
  if (!loaded) M().lastError = ERROR_MOD_NOT_FOUND;
  return loaded;
}


DWORD GetModuleFileNameA(HMODULE, LPSTR buffer, DWORD size) {
  if (ShouldFail("GetModuleFileNameA")) return 0;
  // A name that does not fit fills the whole buffer and returns its size.
  // Whether the system then terminates it differs (Wine and XP do not), so
  // here it is left unterminated: code that trusts a terminator is caught.
  const std::string& s = M().modulePath;
  if (s.size() >= size) {
    std::memcpy(buffer, s.data(), size);
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return size;
  }
  std::memcpy(buffer, s.c_str(), s.size() + 1);
  return static_cast<DWORD>(s.size());
}

// ---- resources: an HRSRC and its HGLOBAL both carry the id, biased so that
// neither is ever null.
static WORD IdOf(const void* p) { return static_cast<WORD>(reinterpret_cast<uintptr_t>(p) - 0x10000); }
static void* HandleOf(WORD id) { return reinterpret_cast<void*>(0x10000 + static_cast<uintptr_t>(id)); }

HRSRC FindResourceA(HMODULE, LPCSTR name, LPCSTR type) {
  if (ShouldFail("FindResourceA")) return nullptr;
  if (IS_INTRESOURCE(type) || std::strcmp(type, "FILE") != 0 || !IS_INTRESOURCE(name)) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
  }
  WORD id = LOWORD(name);
  if (!M().resources.count(id)) {
    M().lastError = M().resources.empty() ? ERROR_RESOURCE_TYPE_NOT_FOUND
                                          : ERROR_RESOURCE_NAME_NOT_FOUND;
    return nullptr;
  }
  return static_cast<HRSRC>(HandleOf(id));
}

DWORD SizeofResource(HMODULE, HRSRC res) {
  Checkpoint("SizeofResource");
  auto it = M().resources.find(IdOf(res));
  return it == M().resources.end() ? 0 : static_cast<DWORD>(it->second.size());
}

HGLOBAL LoadResource(HMODULE, HRSRC res) {
  if (ShouldFail("LoadResource")) return nullptr;
  return M().resources.count(IdOf(res)) ? HandleOf(IdOf(res)) : nullptr;
}

LPVOID LockResource(HGLOBAL data) {
  Checkpoint("LockResource");
  auto it = M().resources.find(IdOf(data));
  return it == M().resources.end() ? nullptr : const_cast<char*>(it->second.data());
}

BOOL FreeResource(HGLOBAL) {  // obsolete on Win32: does nothing
  Checkpoint("FreeResource");
  return FALSE;
}

// ---- system texts -----------------------------------------------------------

static const char* SystemText(DWORD id) {
  switch (id) {
    case ERROR_FILE_NOT_FOUND: return "The system cannot find the file specified.\r\n";
    case ERROR_PATH_NOT_FOUND: return "The system cannot find the path specified.\r\n";
    case ERROR_ACCESS_DENIED: return "Access is denied.\r\n";
    case ERROR_INVALID_HANDLE: return "The handle is invalid.\r\n";
    case ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.\r\n";
    case ERROR_SHARING_VIOLATION: return "The process cannot access the file because it is being used by another process.\r\n";
    case ERROR_DISK_FULL: return "There is not enough space on the disk.\r\n";
    case ERROR_ALREADY_EXISTS: return "Cannot create a file when that file already exists.\r\n";
    case ERROR_RESOURCE_DATA_NOT_FOUND: return "The specified image file did not contain a resource section.\r\n";
    case ERROR_RESOURCE_TYPE_NOT_FOUND: return "The specified resource type cannot be found in the image file.\r\n";
    case ERROR_RESOURCE_NAME_NOT_FOUND: return "The specified resource name cannot be found in the image file.\r\n";
    default: return nullptr;
  }
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD id, DWORD, LPSTR buffer, DWORD size, void*) {
  Checkpoint("FormatMessageA");
  const char* text = (flags & FORMAT_MESSAGE_FROM_SYSTEM) ? SystemText(id) : nullptr;
  if (!text) {
    M().lastError = ERROR_MR_MID_NOT_FOUND;
    return 0;
  }
  size_t n = std::strlen(text);
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    char* copy = static_cast<char*>(std::malloc(n + 1));
    std::memcpy(copy, text, n + 1);
    *reinterpret_cast<char**>(buffer) = copy;
    ++M().liveLocalAllocs;
  } else {
    if (n + 1 > size) return 0;
    std::memcpy(buffer, text, n + 1);
  }
  return static_cast<DWORD>(n);
}

HLOCAL LocalFree(HLOCAL mem) {
  Checkpoint("LocalFree");
  if (mem) {
    --M().liveLocalAllocs;
    std::free(mem);
  }
  return nullptr;
}

HMODULE LoadLibraryA(LPCSTR name) {
  if (ShouldFail("LoadLibraryA")) return nullptr;
  auto it = name ? C().libraries.find(LibraryKey(name)) : C().libraries.end();
  if (it == C().libraries.end()) {
    M().lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  ++it->second.references;
  return reinterpret_cast<HMODULE>(it->second.handle);
}

HMODULE LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  if (ShouldFail("LoadLibraryExA")) return nullptr;
  if (!name || file || (flags != LOAD_LIBRARY_SEARCH_SYSTEM32 && flags != LOAD_WITH_ALTERED_SEARCH_PATH)) {
    M().misuse.push_back("LoadLibraryExA other than by name from the system folder, or by full path");
    M().lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (flags == LOAD_WITH_ALTERED_SEARCH_PATH && !std::strchr(name, '\\'))
    M().misuse.push_back("LOAD_WITH_ALTERED_SEARCH_PATH with a relative name: the search is undefined");
  Library* library = FindSystemLibrary(name, flags);
  C().loads.push_back(LibraryLoad{name, flags, library != nullptr});
  if (!library) {
    M().lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  ++library->references;
  return reinterpret_cast<HMODULE>(library->handle);
}

static Library* LoadedLibrary(HMODULE module) {
  for (auto& l : C().libraries)
    if (l.second.handle == reinterpret_cast<uintptr_t>(module) && l.second.references > 0)
      return &l.second;
  return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (ShouldFail("GetProcAddress")) return nullptr;
  Library* library = LoadedLibrary(module);
  if (!library) {
    M().misuse.push_back("GetProcAddress in a module that is not loaded");
    M().lastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  auto it = IS_INTRESOURCE(name) ? library->exports.end() : library->exports.find(name);
  if (it == library->exports.end()) {
    M().lastError = ERROR_PROC_NOT_FOUND;
    return nullptr;
  }
  return it->second;
}

BOOL FreeLibrary(HMODULE module) {
  Library* library = LoadedLibrary(module);
  if (!library) {
    M().misuse.push_back("FreeLibrary of a module that is not loaded");
    M().lastError = ERROR_MOD_NOT_FOUND;
    return FALSE;
  }
  if (--library->references == 0 && library->handle == kOle32Handle && LiveComObjects() > 0)
    M().misuse.push_back("OLE32.DLL unloaded while a COM object is referenced");
  return TRUE;
}
