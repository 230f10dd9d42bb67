#include <algorithm>
#include <cctype>
#include <cstring>

#include "winsim/machine.h"

namespace winsim {

Machine& M() {
  static Machine machine;
  return machine;
}

bool IsLeadByte(unsigned char c) {
  switch (M().codePage) {
    case 932:
      return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
    case 936:
    case 949:
    case 950:
      return c >= 0x81 && c <= 0xFE;
    default:
      return false;
  }
}

// The length of the character at `i`: two bytes for a lead byte that is not
// the last of the text.
static size_t CharLength(const std::string& s, size_t i) {
  return IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
}

std::string Upper(std::string s) {
  for (size_t i = 0; i < s.size(); i += CharLength(s, i))
    if (s[i] >= 'a' && s[i] <= 'z') s[i] = static_cast<char>(s[i] - 'a' + 'A');
  return s;
}

size_t NextSeparator(const std::string& s, size_t from) {
  for (size_t i = 0; i < s.size(); i += CharLength(s, i))
    if (i >= from && s[i] == '\\') return i;
  return std::string::npos;
}

size_t LastSeparator(const std::string& s) {
  size_t found = std::string::npos;
  for (size_t i = 0; i < s.size(); i += CharLength(s, i))
    if (s[i] == '\\') found = i;
  return found;
}

bool ShouldFail(const char* call) {
  Checkpoint(call);
  Machine& m = M();
  ++m.faultableCalls;
  for (auto it = m.rules.begin(); it != m.rules.end(); ++it) {
    if (!it->call.empty() && it->call != call) continue;
    if (it->countdown > 1) {
      --it->countdown;
      continue;
    }
    m.lastError = it->error;
    if (!it->always) m.rules.erase(it);
    m.failedCalls.push_back(call);
    return true;
  }
  return false;
}

// A character that no file name may hold ('|' may be a double-byte
// character's second byte).
static bool InvalidNameCharacter(const std::string& name) {
  for (size_t i = 0; i < name.size(); i += CharLength(name, i))
    if (CharLength(name, i) == 1 && std::strchr("<>:\"|?*", name[i]) && name[i]) return true;
  return false;
}

bool ResolvePath(const char* path, std::string* full, std::string* key, DWORD* error) {
  Machine& m = M();
  if (path == nullptr || *path == '\0') {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string p(path);
  std::replace(p.begin(), p.end(), '/', '\\');
  if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') {  // no network in this machine
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string base;
  std::string rest;
  if (p.size() >= 2 && p[1] == ':') {
    char d = static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
    if (d < 'A' || d > 'Z') {
      *error = ERROR_INVALID_NAME;
      return false;
    }
    rest = p.substr(2);
    if (!rest.empty() && rest[0] == '\\') {
      base = std::string(1, d) + ":";
    } else if (!m.currentDirectory.empty() && std::toupper(m.currentDirectory[0]) == d) {
      base = m.currentDirectory;
    } else {
      base = std::string(1, d) + ":";
    }
  } else if (!p.empty() && p[0] == '\\') {
    base = m.currentDirectory.substr(0, 2);
    rest = p;
  } else {
    base = m.currentDirectory;
    rest = p;
  }
  std::vector<std::string> parts;
  {
    // base is "X:" or "X:\a\b"
    std::string b = base.substr(2);
    size_t i = 0;
    while (i < b.size()) {
      size_t j = NextSeparator(b, i);
      if (j == std::string::npos) j = b.size();
      if (j > i) parts.push_back(b.substr(i, j - i));
      i = j + 1;
    }
  }
  size_t i = 0;
  while (i <= rest.size()) {
    size_t j = NextSeparator(rest, i);
    if (j == std::string::npos) j = rest.size();
    std::string part = rest.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      if (InvalidNameCharacter(part)) {
        *error = ERROR_INVALID_NAME;
        return false;
      }
      parts.push_back(part);
    }
    i = j + 1;
  }
  char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(base[0])));
  UINT type = m.driveTypes[drive - 'A'];
  if (type == DRIVE_NO_ROOT_DIR) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string f = std::string(1, drive) + ":\\";
  for (size_t k = 0; k < parts.size(); ++k) f += (k ? "\\" : "") + parts[k];
  *full = f;
  *key = Upper(f);
  return true;
}

std::string ParentKey(const std::string& key) {
  if (key.size() <= 3) return "";
  size_t at = LastSeparator(key);
  return at <= 2 ? key.substr(0, 3) : key.substr(0, at);
}

OpenFile* FindHandle(HANDLE h) {
  auto it = M().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == M().handles.end() || !it->second.holders.count(M().currentProcess)) return nullptr;
  return &it->second;
}

void ReleaseFile(uintptr_t handle, int process) {
  Machine& m = M();
  auto it = m.handles.find(handle);
  if (it == m.handles.end() || !it->second.holders.erase(process) || !it->second.holders.empty())
    return;
  std::string key = it->second.key;
  m.handles.erase(it);
  for (const auto& h : m.handles)
    if (h.second.key == key) return;
  auto node = m.nodes.find(key);
  // A running program's image is not deleted under it.
  if (node != m.nodes.end() && node->second.deleteOnClose && !node->second.running) {
    Note("deleted on close " + node->second.path);
    m.nodes.erase(node);
  }
}

bool HeldByOther(const Node& n) { return M().now < n.heldUntil; }

Node* Lookup(const char* path, DWORD* error, std::string* keyOut, std::string* fullOut) {
  std::string full, key;
  if (!ResolvePath(path, &full, &key, error)) return nullptr;
  if (keyOut) *keyOut = key;
  if (fullOut) *fullOut = full;
  auto it = M().nodes.find(key);
  if (it == M().nodes.end()) {
    auto parent = M().nodes.find(ParentKey(key));
    *error = (parent != M().nodes.end() && parent->second.folder) ? ERROR_FILE_NOT_FOUND
                                                                    : ERROR_PATH_NOT_FOUND;
    return nullptr;
  }
  return &it->second;
}

Node* LookupFolder(const char* path, std::string* key, std::string* full) {
  DWORD error;
  Node* n = Lookup(path, &error, key, full);
  if (!n || !n->folder) {
    M().lastError = n ? ERROR_DIRECTORY : error;
    return nullptr;
  }
  return n;
}

static bool ParentIsFolder(const std::string& key) {
  auto it = M().nodes.find(ParentKey(key));
  return it != M().nodes.end() && it->second.folder;
}

static bool OpenElsewhere(const std::string& key) {
  for (auto& h : M().handles)
    if (h.second.key == key) return true;
  return false;
}

static Node& AddNode(const std::string& key, const std::string& full, bool folder, DWORD attr) {
  Node& n = M().nodes[key];
  n = Node();
  n.path = full;
  n.folder = folder;
  n.attributes = attr;
  n.order = M().nextOrder++;
  return n;
}

// ---- control API: files ------------------------------------------------

void Reset() {
  Machine& m = M();
  m = Machine();
  ResetLz();
  ResetUi();
  ResetRegistry();
  ResetInet();
  ResetCom();
  ResetGdi();
  ResetLifetime();
  ResetVersionBlocks();
  ResetUninstall();
  for (UINT& t : m.driveTypes) t = DRIVE_NO_ROOT_DIR;
  m.driveTypes['C' - 'A'] = DRIVE_FIXED;
  AddNode("C:\\", "C:\\", true, FILE_ATTRIBUTE_DIRECTORY);
  m.currentDirectory = "C:\\";
  MakeFolders("C:\\WINDOWS");
  MakeFolders("C:\\TEMP");
  MakeFolders("C:\\Downloads");
  MakeFolders("C:\\Program Files");
  SetSpecialFolder(CSIDL_PROGRAM_FILES, "C:\\Program Files");
  m.windowsDirectory = "C:\\WINDOWS";
  m.systemDirectory = "C:\\WINDOWS\\system32";
  m.tempPath = "C:\\TEMP\\";
  m.modulePath = "C:\\Downloads\\Quil.exe";
  PutFile(m.modulePath, "MZ the installer itself");
  RunProgram(m.modulePath);
}

void SetDriveType(char letter, UINT type) {
  int d = std::toupper(static_cast<unsigned char>(letter)) - 'A';
  M().driveTypes[d] = type;
  std::string root = std::string(1, static_cast<char>('A' + d)) + ":\\";
  if (type != DRIVE_NO_ROOT_DIR && !M().nodes.count(root))
    AddNode(root, root, true, FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolders(const std::string& path) {
  std::string full, key;
  DWORD error;
  if (!ResolvePath(path.c_str(), &full, &key, &error)) return false;
  for (size_t i = 3; i <= full.size(); ++i) {
    if (i != full.size() && NextSeparator(full, i) != i) continue;
    std::string k = Upper(full.substr(0, i));
    auto it = M().nodes.find(k);
    if (it == M().nodes.end()) {
      AddNode(k, full.substr(0, i), true, FILE_ATTRIBUTE_DIRECTORY);
    } else if (!it->second.folder) {
      return false;
    }
  }
  return true;
}

bool PutFile(const std::string& path, const std::string& data, DWORD attributes) {
  std::string full, key;
  DWORD error;
  if (!ResolvePath(path.c_str(), &full, &key, &error)) return false;
  size_t slash = LastSeparator(full);
  if (!MakeFolders(full.substr(0, slash == 2 ? 3 : slash))) return false;
  Node& n = AddNode(key, full, false, attributes & ~FILE_ATTRIBUTE_DIRECTORY);
  n.data = data;
  return true;
}

static const Node* Peek(const std::string& path) {
  DWORD error;
  return Lookup(path.c_str(), &error);
}

bool Exists(const std::string& path) { return Peek(path) != nullptr; }
bool IsFolder(const std::string& path) {
  const Node* n = Peek(path);
  return n && n->folder;
}
std::string FileData(const std::string& path) {
  const Node* n = Peek(path);
  return n ? n->data : std::string();
}
DWORD Attributes(const std::string& path) {
  const Node* n = Peek(path);
  return n ? n->attributes : INVALID_FILE_ATTRIBUTES;
}
void SetAttributes(const std::string& path, DWORD attributes) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->attributes = attributes;
}
// The entries of the folder `key` names, in the order they were made.
static std::vector<const Node*> Children(const std::string& key) {
  std::vector<const Node*> found;
  for (auto& e : M().nodes)
    if (e.first != key && ParentKey(e.first) == key) found.push_back(&e.second);
  std::sort(found.begin(), found.end(),
            [](const Node* a, const Node* b) { return a->order < b->order; });
  return found;
}

static std::string LeafName(const Node& n) { return n.path.substr(LastSeparator(n.path) + 1); }

std::vector<std::string> FolderEntries(const std::string& path) {
  DWORD error;
  std::string key;
  if (!Lookup(path.c_str(), &error, &key)) return {};
  std::vector<std::string> names;
  for (const Node* n : Children(key)) names.push_back(LeafName(*n));
  return names;
}
std::string CurrentDirectory() { return M().currentDirectory; }
void HoldFile(const std::string& path, DWORD ms) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->heldUntil = M().now + ms;
}
void RunProgram(const std::string& path) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->running = !n->folder;
}
void EndProgram(const std::string& path) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->running = false;
}
bool IsRunning(const std::string& path) {
  const Node* n = Peek(path);
  return n && n->running;
}
void HoldAfterClose(const std::string& path, DWORD ms) {
  std::string full, key;
  DWORD error;
  if (ResolvePath(path.c_str(), &full, &key, &error)) M().holdAfterClose[key] = ms;
}
int OpenHandleCount() {
  int files = 0;
  for (const auto& h : M().handles) files += h.second.holders.count(M().currentProcess) ? 1 : 0;
  return files + static_cast<int>(M().searches.size()) + OpenProcessHandleCount();
}
void SetWindowsDirectory(const std::string& path) { M().windowsDirectory = path; }
void SetSystemDirectory(const std::string& path) { M().systemDirectory = path; }
void SetAnsiCodePage(UINT codePage) { M().codePage = codePage; }
void SetTempPath(const std::string& path) { M().tempPath = path; }
void SetModulePath(const std::string& path) { M().modulePath = path; }
DWORD Now() { return M().now; }
const std::vector<DWORD>& Pauses() { return M().pauses; }
const std::vector<std::string>& Misuse() { return M().misuse; }

void FailCall(const std::string& call, int nth, DWORD error, bool always) {
  M().rules.push_back({call, nth, error, always});
}
void FailNthCall(int nth, DWORD error) { M().rules.push_back({"", nth, error, false}); }
int FaultableCallCount() { return M().faultableCalls; }
const std::vector<std::string>& FailedCalls() { return M().failedCalls; }
void ShortWrite(int nth, DWORD bytes) {
  M().shortWriteCountdown = nth;
  M().shortWriteBytes = bytes;
}

}  // namespace winsim

using namespace winsim;

// ---- the API ---------------------------------------------------------------

UINT GetACP(void) {
  Checkpoint("GetACP");
  return M().codePage;
}
BOOL IsDBCSLeadByte(BYTE c) {
  Checkpoint("IsDBCSLeadByte");
  return IsLeadByte(c) ? TRUE : FALSE;
}
static const char* NextChar(const char* p) {
  if (*p == '\0') return p;
  return p + (IsLeadByte(static_cast<unsigned char>(*p)) && p[1] ? 2 : 1);
}
LPSTR CharNextA(LPCSTR p) {
  Checkpoint("CharNextA");
  return const_cast<LPSTR>(NextChar(p));
}
LPSTR CharPrevA(LPCSTR start, LPCSTR p) {
  Checkpoint("CharPrevA");
  const char* previous = start;
  for (const char* q = start; q < p && *q; q = NextChar(q)) previous = q;
  return const_cast<LPSTR>(previous);
}

DWORD GetLastError(void) {
  Checkpoint("GetLastError");
  return M().lastError;
}
void SetLastError(DWORD error) {
  Checkpoint("SetLastError");
  M().lastError = error;
}

void Sleep(DWORD ms) {
  Checkpoint("Sleep");
  M().now += ms;
  M().pauses.push_back(ms);
}
DWORD GetTickCount(void) {
  Checkpoint("GetTickCount");
  return M().now;
}

static bool SharingAllows(const std::string& key, DWORD access, DWORD share) {
  for (auto& h : M().handles) {
    if (h.second.key != key) continue;
    const OpenFile& o = h.second;
    if ((access & GENERIC_READ) && !(o.share & FILE_SHARE_READ)) return false;
    if ((access & GENERIC_WRITE) && !(o.share & FILE_SHARE_WRITE)) return false;
    if ((o.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return false;
    if ((o.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return false;
    if ((access & DELETE) && !(o.share & FILE_SHARE_DELETE)) return false;
    if ((o.access & DELETE) && !(share & FILE_SHARE_DELETE)) return false;
  }
  return true;
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE) {
  Machine& m = M();
  if (ShouldFail("CreateFileA")) return INVALID_HANDLE_VALUE;
  // Like the system's CreateFileA: deletion on close needs, and gets, DELETE.
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) access |= DELETE;
  std::string full, key;
  DWORD error = 0;
  if (!ResolvePath(name, &full, &key, &error)) {
    m.lastError = error;
    return INVALID_HANDLE_VALUE;
  }
  if (!ParentIsFolder(key) && key.size() > 3) {
    m.lastError = ERROR_PATH_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  auto it = m.nodes.find(key);
  bool exists = it != m.nodes.end();
  if (exists) {
    Node& n = it->second;
    if (n.folder) {
      m.lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    bool writes = (access & GENERIC_WRITE) || disposition == CREATE_ALWAYS ||
                  disposition == TRUNCATE_EXISTING;
    if (HeldByOther(n) || !SharingAllows(key, access, share) ||
        (n.running && (writes || !(share & FILE_SHARE_READ)))) {
      m.lastError = ERROR_SHARING_VIOLATION;
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_NEW) {
      m.lastError = ERROR_FILE_EXISTS;
      return INVALID_HANDLE_VALUE;
    }
    if (writes && (n.attributes & FILE_ATTRIBUTE_READONLY)) {
      m.lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS &&
        (n.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) &&
        !(flags & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM))) {
      m.lastError = ERROR_ACCESS_DENIED;
      return INVALID_HANDLE_VALUE;
    }
    if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) n.data.clear();
    if (disposition == CREATE_ALWAYS) {
      DWORD a = flags & 0xFFFF & ~FILE_ATTRIBUTE_NORMAL;
      n.attributes = a | FILE_ATTRIBUTE_ARCHIVE;
    }
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      m.lastError = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    DWORD a = flags & 0xFFFF & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
    AddNode(key, full, false, a | FILE_ATTRIBUTE_ARCHIVE);
  }
  if (flags & FILE_FLAG_DELETE_ON_CLOSE) m.nodes[key].deleteOnClose = true;
  uintptr_t h = m.nextHandle;
  m.nextHandle += 4;
  m.handles[h] = OpenFile{key, access, share, 0, sa && sa->bInheritHandle, {m.currentProcess}};
  if (disposition == CREATE_ALWAYS || disposition == CREATE_NEW) Note("create " + full);
  m.lastError = (exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS))
                    ? ERROR_ALREADY_EXISTS
                    : 0;
  return reinterpret_cast<HANDLE>(h);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  Machine& m = M();
  if (written) *written = 0;
  OpenFile* o = FindHandle(file);
  if (!o) {
    m.lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!(o->access & GENERIC_WRITE)) {
    m.lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (KillPending()) {  // killed mid-write: half of it is on disk
    std::string& data = m.nodes[o->key].data;
    DWORD half = toWrite / 2;
    if (data.size() < o->position + half) data.resize(o->position + half);
    if (half) std::memcpy(&data[o->position], buffer, half);
    Die("WriteFile");
  }
  if (ShouldFail("WriteFile")) return FALSE;
  DWORD n = toWrite;
  if (m.shortWriteCountdown > 0 && --m.shortWriteCountdown == 0)
    n = std::min(toWrite, m.shortWriteBytes);
  std::string& data = m.nodes[o->key].data;
  if (data.size() < o->position + n) data.resize(o->position + n);
  if (n) std::memcpy(&data[o->position], buffer, n);
  o->position += n;
  if (written) *written = n;
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  Machine& m = M();
  if (read) *read = 0;
  OpenFile* o = FindHandle(file);
  if (!o) {
    m.lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (!(o->access & GENERIC_READ)) {
    m.lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (ShouldFail("ReadFile")) return FALSE;
  const std::string& data = m.nodes[o->key].data;
  size_t n = o->position < data.size() ? std::min<size_t>(toRead, data.size() - o->position) : 0;
  if (n) std::memcpy(buffer, data.data() + o->position, n);
  o->position += n;
  if (read) *read = static_cast<DWORD>(n);
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG*, DWORD method) {
  Checkpoint("SetFilePointer");
  OpenFile* o = FindHandle(file);
  if (!o) {
    M().lastError = ERROR_INVALID_HANDLE;
    return 0xFFFFFFFF;
  }
  long long base = method == FILE_BEGIN ? 0
                   : method == FILE_CURRENT ? static_cast<long long>(o->position)
                                            : static_cast<long long>(M().nodes[o->key].data.size());
  long long to = base + distance;
  if (to < 0) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return 0xFFFFFFFF;
  }
  o->position = static_cast<size_t>(to);
  return static_cast<DWORD>(to);
}

BOOL CloseHandle(HANDLE handle) {
  Checkpoint("CloseHandle");
  auto it = M().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == M().handles.end() || !it->second.holders.count(M().currentProcess)) {
    if (CloseProcessHandle(handle)) return TRUE;
    M().misuse.push_back("CloseHandle of a handle that is not open");
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  auto hold = M().holdAfterClose.find(it->second.key);
  if (hold != M().holdAfterClose.end() && (it->second.access & GENERIC_WRITE)) {
    M().nodes[hold->first].heldUntil = M().now + hold->second;
    M().holdAfterClose.erase(hold);
  }
  ReleaseFile(it->first, M().currentProcess);
  return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
  Machine& m = M();
  if (ShouldFail("DeleteFileA")) return FALSE;
  DWORD error;
  std::string key;
  Node* n = Lookup(name, &error, &key);
  if (!n) {
    m.lastError = error;
    return FALSE;
  }
  if (n->folder || (n->attributes & FILE_ATTRIBUTE_READONLY) || n->running) {
    m.lastError = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (HeldByOther(*n) || OpenElsewhere(key)) {
    m.lastError = ERROR_SHARING_VIOLATION;
    return FALSE;
  }
  m.nodes.erase(key);
  return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) {
  Machine& m = M();
  if (ShouldFail("MoveFileA")) return FALSE;
  DWORD error;
  std::string fromKey;
  Node* n = Lookup(from, &error, &fromKey);
  if (!n) {
    m.lastError = error;
    return FALSE;
  }
  std::string full, key;
  if (!ResolvePath(to, &full, &key, &error)) {
    m.lastError = error;
    return FALSE;
  }
  if (m.nodes.count(key)) {
    m.lastError = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  if (!ParentIsFolder(key)) {
    m.lastError = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  if (n->folder || HeldByOther(*n) || OpenElsewhere(fromKey)) {
    m.lastError = n->folder ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
    return FALSE;
  }
  Note("move " + n->path + " -> " + full);
  Node moved = *n;
  moved.path = full;
  m.nodes.erase(fromKey);
  m.nodes[key] = moved;
  return TRUE;
}

BOOL SetFileAttributesA(LPCSTR name, DWORD attributes) {
  Machine& m = M();
  if (ShouldFail("SetFileAttributesA")) return FALSE;
  DWORD error;
  Node* n = Lookup(name, &error);
  if (!n) {
    m.lastError = error;
    return FALSE;
  }
  DWORD keep = n->folder ? FILE_ATTRIBUTE_DIRECTORY : 0;
  DWORD a = attributes & ~(FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_DIRECTORY);
  n->attributes = keep | a;
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR name) {
  Machine& m = M();
  if (ShouldFail("GetFileAttributesA")) return INVALID_FILE_ATTRIBUTES;
  DWORD error;
  Node* n = Lookup(name, &error);
  if (!n) {
    m.lastError = error;
    return INVALID_FILE_ATTRIBUTES;
  }
  if (n->attributes == 0) return FILE_ATTRIBUTE_NORMAL;
  return n->attributes;
}

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
  Machine& m = M();
  if (ShouldFail("CreateDirectoryA")) return FALSE;
  std::string full, key;
  DWORD error;
  if (!ResolvePath(name, &full, &key, &error)) {
    m.lastError = error;
    return FALSE;
  }
  if (m.nodes.count(key)) {
    m.lastError = ERROR_ALREADY_EXISTS;
    return FALSE;
  }
  if (!ParentIsFolder(key)) {
    m.lastError = ERROR_PATH_NOT_FOUND;
    return FALSE;
  }
  AddNode(key, full, true, FILE_ATTRIBUTE_DIRECTORY);
  return TRUE;
}

BOOL SetCurrentDirectoryA(LPCSTR name) {
  Machine& m = M();
  if (ShouldFail("SetCurrentDirectoryA")) return FALSE;
  std::string key, full;
  if (!LookupFolder(name, &key, &full)) return FALSE;
  m.currentDirectory = full;
  Note("current directory " + full);
  return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
  Checkpoint("GetCurrentDirectoryA");
  const std::string& cwd = M().currentDirectory;
  if (cwd.size() + 1 > size) return static_cast<DWORD>(cwd.size() + 1);
  std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
  return static_cast<DWORD>(cwd.size());
}

// The system's answers for its folders: the length copied, or the size needed
// when the buffer is too small, or 0 on failure.
static DWORD CopyAnswer(const std::string& s, LPSTR buffer, DWORD size) {
  if (s.empty()) {
    M().lastError = ERROR_PATH_NOT_FOUND;
    return 0;
  }
  if (s.size() + 1 > size) return static_cast<DWORD>(s.size() + 1);
  std::memcpy(buffer, s.c_str(), s.size() + 1);
  return static_cast<DWORD>(s.size());
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
  Note("windows directory");
  if (ShouldFail("GetWindowsDirectoryA")) return 0;
  return CopyAnswer(M().windowsDirectory, buffer, size);
}
UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
  if (ShouldFail("GetSystemDirectoryA")) return 0;
  return CopyAnswer(M().systemDirectory, buffer, size);
}
DWORD GetTempPathA(DWORD size, LPSTR buffer) {
  Note("temp path");
  if (ShouldFail("GetTempPathA")) return 0;
  return CopyAnswer(M().tempPath, buffer, size);
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

// ---- drives and directory search ---------------------------------------------

UINT GetDriveTypeA(LPCSTR root) {
  Checkpoint("GetDriveTypeA");
  if (root == nullptr) root = M().currentDirectory.c_str();
  int d = std::toupper(static_cast<unsigned char>(root[0])) - 'A';
  // The system wants a root: a letter, a colon and at most a backslash after.
  bool isRoot = d >= 0 && d < 26 && root[1] == ':' &&
                (root[2] == '\0' || (root[2] == '\\' && root[3] == '\0'));
  return isRoot ? M().driveTypes[d] : static_cast<UINT>(DRIVE_NO_ROOT_DIR);
}

DWORD GetLogicalDrives(void) {
  if (ShouldFail("GetLogicalDrives")) return 0;
  DWORD mask = 0;
  for (int d = 0; d < 26; ++d)
    if (M().driveTypes[d] != DRIVE_NO_ROOT_DIR) mask |= 1u << d;
  return mask;
}

// What a search finds of one directory entry.
static WIN32_FIND_DATAA FoundEntry(const Node& n, const std::string& name) {
  WIN32_FIND_DATAA data;
  std::memset(&data, 0, sizeof data);
  data.dwFileAttributes = n.attributes;
  data.nFileSizeLow = static_cast<DWORD>(n.data.size());
  std::memcpy(data.cFileName, name.c_str(), std::min<size_t>(name.size(), MAX_PATH - 1));
  return data;
}

// Names are matched as given, with one pattern: a last part of "*" or "*.*"
// lists the folder, "." and ".." first as the system lists a folder that is
// not a drive's root. Other wildcards are not modelled.
HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  if (ShouldFail("FindFirstFileA")) return INVALID_HANDLE_VALUE;
  std::string pattern(name ? name : "");
  size_t slash = LastSeparator(pattern);
  std::string last = pattern.substr(slash == std::string::npos ? 0 : slash + 1);
  bool listing = last == "*" || last == "*.*";
  if (!listing && pattern.find_first_of("*?") != std::string::npos) {
    M().misuse.push_back("FindFirstFileA with a pattern winsim does not model: " + pattern);
    M().lastError = ERROR_INVALID_NAME;
    return INVALID_HANDLE_VALUE;
  }
  DWORD error;
  std::string full, key;
  std::string target = listing ? pattern.substr(0, slash == std::string::npos ? 0 : slash) : pattern;
  if (listing && target.size() == 2 && target[1] == ':') target += "\\";
  Node* n = Lookup(target.c_str(), &error, &key, &full);
  Search search;
  if (n && listing && n->folder) {
    if (full.size() > 3) {
      search.found.push_back(FoundEntry(*n, "."));
      search.found.push_back(FoundEntry(*n, ".."));
    }
    for (const Node* child : Children(key)) search.found.push_back(FoundEntry(*child, LeafName(*child)));
  } else if (n && !listing && full.size() > 3) {
    search.found.push_back(FoundEntry(*n, LeafName(*n)));
  }
  if (search.found.empty()) {
    M().lastError = n ? (listing && !n->folder ? ERROR_DIRECTORY : ERROR_FILE_NOT_FOUND) : error;
    return INVALID_HANDLE_VALUE;
  }
  *data = search.found[0];
  search.next = 1;
  uintptr_t h = M().nextHandle;
  M().nextHandle += 4;
  M().searches[h] = search;
  return reinterpret_cast<HANDLE>(h);
}

BOOL FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
  auto it = M().searches.find(reinterpret_cast<uintptr_t>(search));
  if (it == M().searches.end()) {
    M().misuse.push_back("FindNextFileA of a handle that is not a search");
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (ShouldFail("FindNextFileA")) return FALSE;
  Search& s = it->second;
  if (s.next >= s.found.size()) {
    M().lastError = ERROR_NO_MORE_FILES;
    return FALSE;
  }
  *data = s.found[s.next++];
  return TRUE;
}

BOOL FindClose(HANDLE search) {
  Checkpoint("FindClose");
  if (M().searches.erase(reinterpret_cast<uintptr_t>(search)) == 0) {
    M().misuse.push_back("FindClose of a handle that is not a search");
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;
}
