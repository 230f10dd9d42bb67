// kernel32's files: file handles with their share modes and positions, and
// what is done to a file by name.
#include <algorithm>
#include <cstring>

#include "winsim/machine.h"

namespace winsim {

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

static bool OpenElsewhere(const std::string& key) {
  for (auto& h : M().handles)
    if (h.second.key == key) return true;
  return false;
}

// ---- control API: files ------------------------------------------------

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
void HoldFile(const std::string& path, DWORD ms) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->heldUntil = M().now + ms;
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
void DenyFolderWrites(const std::string& path) {
  std::string full, key;
  DWORD error;
  if (ResolvePath(path.c_str(), &full, &key, &error)) M().deniedFolders.push_back(key);
}

bool WriteDenied(const std::string& key) {
  for (const std::string& folder : M().deniedFolders) {
    if (key.compare(0, folder.size(), folder) == 0 &&
        (key.size() == folder.size() || key[folder.size()] == '\\' || folder.back() == '\\')) {
      M().lastError = ERROR_ACCESS_DENIED;
      return true;
    }
  }
  return false;
}

void ShortWrite(int nth, DWORD bytes) {
  M().shortWriteCountdown = nth;
  M().shortWriteBytes = bytes;
}
std::map<std::string, FileState> MachineFiles() {
  std::map<std::string, FileState> files;
  for (const auto& n : M().nodes)
    files[n.second.path] = FileState{n.second.folder, n.second.attributes, n.second.data};
  return files;
}

}  // namespace winsim

using namespace winsim;

// ---- the API ---------------------------------------------------------------

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
    if ((writes || (access & DELETE)) && WriteDenied(key)) return INVALID_HANDLE_VALUE;
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
    if (WriteDenied(key)) return INVALID_HANDLE_VALUE;
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

namespace {

// The open handle `file` when it was opened with `access`; otherwise null,
// with the error the system gives.
OpenFile* HandleWith(HANDLE file, DWORD access) {
  OpenFile* o = FindHandle(file);
  if (!o) {
    M().lastError = ERROR_INVALID_HANDLE;
  } else if (!(o->access & access)) {
    M().lastError = ERROR_ACCESS_DENIED;
    o = nullptr;
  }
  return o;
}

// Writes `n` bytes at `position`, growing the file as a write past its end does.
void StoreAt(std::string& data, size_t position, LPCVOID buffer, DWORD n) {
  if (data.size() < position + n) data.resize(position + n);
  if (n) std::memcpy(&data[position], buffer, n);
}

}  // namespace

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
  Machine& m = M();
  if (written) *written = 0;
  OpenFile* o = HandleWith(file, GENERIC_WRITE);
  if (!o) return FALSE;
  if (KillPending()) {  // killed mid-write: half of it is on disk
    StoreAt(m.nodes[o->key].data, o->position, buffer, toWrite / 2);
    Die("WriteFile");
  }
  if (ShouldFail("WriteFile")) return FALSE;
  DWORD n = toWrite;
  if (m.shortWriteCountdown > 0 && --m.shortWriteCountdown == 0)
    n = std::min(toWrite, m.shortWriteBytes);
  StoreAt(m.nodes[o->key].data, o->position, buffer, n);
  o->position += n;
  if (written) *written = n;
  return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
  Machine& m = M();
  if (read) *read = 0;
  OpenFile* o = HandleWith(file, GENERIC_READ);
  if (!o) return FALSE;
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
  if (WriteDenied(key)) return FALSE;
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
  if (!ResolveNewName(to, &full, &key) || WriteDenied(fromKey)) return FALSE;
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
  std::string key;
  Node* n = Lookup(name, &error, &key);
  if (!n) {
    m.lastError = error;
    return FALSE;
  }
  if (WriteDenied(key)) return FALSE;
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

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  Machine& m = M();
  if (ShouldFail("CopyFileA")) return FALSE;
  DWORD error;
  std::string fromKey;
  Node* source = Lookup(from, &error, &fromKey);
  if (!source || source->folder) {
    m.lastError = source ? ERROR_ACCESS_DENIED : error;
    return FALSE;
  }
  // The source is read as CreateFileA would open it to read, shared.
  HANDLE in = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return FALSE;
  std::string data = source->data;
  DWORD attributes = source->attributes;
  CloseHandle(in);
  HANDLE out = CreateFileA(to, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                           attributes | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return FALSE;
  DWORD written = 0;
  BOOL ok = WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == data.size();
  error = ok ? 0 : GetLastError();
  CloseHandle(out);
  if (!ok) {
    DeleteFileA(to);
    m.lastError = error;
    return FALSE;
  }
  m.lastError = 0;
  return TRUE;
}
