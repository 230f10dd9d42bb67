// shell32: the shell's allocator, its folder browser, the special folders
// and the launcher. Its shell-link object is in shell32_link.cpp.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>

#include "winsim/machine.h"

namespace winsim {
namespace {

struct Shell {
  std::deque<std::pair<bool, std::string>> browses;  // (cancel, path)
  std::vector<BrowseRecord> browseRecords;
  std::set<void*> shellBlocks;
  std::map<int, std::string> specialFolders;
};

Shell& U() {
  static Shell shell;
  return shell;
}

struct ShellMalloc : IMalloc {
  HRESULT QueryInterface(const void*, void**) override { return E_FAIL; }
  ULONG AddRef() override { return 1; }
  ULONG Release() override {
    Checkpoint("IMalloc::Release");
    return 1;
  }
  void* Alloc(SIZE_T bytes) override {
    Checkpoint("IMalloc::Alloc");
    return Take(bytes);
  }
  // The shell's own allocations, inside calls that already passed the checkpoint.
  static void* Take(SIZE_T bytes) {
    void* p = std::malloc(bytes ? bytes : 1);
    U().shellBlocks.insert(p);
    return p;
  }
  void* Realloc(void*, SIZE_T) override { return nullptr; }
  void Free(void* p) override {
    Checkpoint("IMalloc::Free");
    if (!p) return;
    if (!U().shellBlocks.erase(p)) {
      M().misuse.push_back("shell allocator freed a block it did not give out");
      return;
    }
    std::free(p);
  }
  SIZE_T GetSize(void*) override { return 0; }
  int DidAlloc(void* p) override { return U().shellBlocks.count(p) ? 1 : 0; }
  void HeapMinimize() override {}
};

ShellMalloc shellMalloc;

}  // namespace

void ResetShell() {
  for (void* p : U().shellBlocks) std::free(p);
  U() = Shell();
}

void EndShellProcess() {
  for (void* p : U().shellBlocks) std::free(p);
  U().shellBlocks.clear();
  U().browses.clear();
  U().browseRecords.clear();
}

void SetSpecialFolder(int csidl, const std::string& path) { U().specialFolders[csidl] = path; }
void RemoveSpecialFolder(int csidl) { U().specialFolders.erase(csidl); }
void QueueBrowse(const std::string& path) { U().browses.push_back({false, path}); }
void QueueBrowseCancel() { U().browses.push_back({true, ""}); }
const std::vector<BrowseRecord>& Browses() { return U().browseRecords; }
int LiveShellAllocations() { return static_cast<int>(U().shellBlocks.size()); }

}  // namespace winsim

using namespace winsim;

HRESULT SHGetMalloc(LPMALLOC* out) {
  if (ShouldFail("SHGetMalloc")) {
    *out = nullptr;
    return E_FAIL;
  }
  *out = &shellMalloc;
  return S_OK;
}

// An item id list here is the shell's own copy of the folder's path.
static PIDLIST_ABSOLUTE NewIdList(const std::string& path) {
  char* pidl = static_cast<char*>(ShellMalloc::Take(path.size() + 1));
  std::memcpy(pidl, path.c_str(), path.size() + 1);
  return reinterpret_cast<PIDLIST_ABSOLUTE>(pidl);
}

PIDLIST_ABSOLUTE SHBrowseForFolderA(BROWSEINFOA* info) {
  Checkpoint("SHBrowseForFolderA");
  U().browseRecords.push_back(
      {info->hwndOwner, info->lpszTitle ? info->lpszTitle : "", info->ulFlags, info->pidlRoot == nullptr});
  if (U().browses.empty()) {
    M().misuse.push_back("the folder browser opened with no scripted answer");
    return nullptr;
  }
  auto answer = U().browses.front();
  U().browses.pop_front();
  if (answer.first) return nullptr;
  const std::string& path = answer.second;
  std::string display = path.empty() ? "Control Panel" : path.substr(LastSeparator(path) + 1);
  if (display.empty()) display = path;
  if (info->pszDisplayName) {  // the caller's buffer is MAX_PATH by contract
    size_t n = std::min<size_t>(display.size(), MAX_PATH - 1);
    std::memcpy(info->pszDisplayName, display.data(), n);
    info->pszDisplayName[n] = '\0';
  }
  return NewIdList(path);
}

HRESULT SHGetSpecialFolderLocation(HWND owner, int csidl, PIDLIST_ABSOLUTE* pidl) {
  *pidl = nullptr;
  if (ShouldFail("SHGetSpecialFolderLocation")) return E_FAIL;
  Note("special folder " + std::to_string(csidl) + " owner " +
       std::to_string(reinterpret_cast<uintptr_t>(owner)));
  auto it = U().specialFolders.find(csidl);
  if (it == U().specialFolders.end()) return E_FAIL;
  *pidl = NewIdList(it->second);
  return S_OK;
}

BOOL SHGetPathFromIDListA(PCIDLIST_ABSOLUTE pidl, LPSTR path) {
  Checkpoint("SHGetPathFromIDListA");
  const char* p = reinterpret_cast<const char*>(pidl);
  size_t n = p ? std::strlen(p) : 0;
  if (n == 0 || n >= MAX_PATH) {
    if (path) path[0] = '\0';
    return FALSE;
  }
  std::memcpy(path, p, n + 1);
  return TRUE;
}

HINSTANCE ShellExecuteA(HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT show) {
  Checkpoint("ShellExecuteA");
  Note(std::string("launch ") + (verb ? verb : "") + " " + (file ? file : "") + " | " +
       (parameters ? parameters : "(null)") + " | " + (directory ? directory : "(null)") + " | " +
       std::to_string(show) + " | from " + M().currentDirectory);
  // Like the shell: a value above 32 on success, an error number otherwise.
  DWORD attributes = GetFileAttributesA(file);
  bool found = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  if (found) RunProgram(file);
  uintptr_t r = found ? 42 : ERROR_FILE_NOT_FOUND;
  return reinterpret_cast<HINSTANCE>(r);
}

