// kernel32's folders and drives: paths resolved and named as the system
// names them (in the ANSI code page), folders, the current directory, the
// system's own folders, drive types and directory searches.
#include <algorithm>
#include <cctype>
#include <cstring>

#include "winsim/machine.h"

namespace winsim {

// Code page 932 is the one double-byte page modelled: its lead bytes, the
// second bytes it defines after one, and its default character (U+30FB,
// 0x81 0x45), which takes the place of a pair it does not define. Wine's and
// ReactOS's ntdll convert so, and Wine's agrees with the conformance program.
bool IsLeadByte(unsigned char c) {
  return M().codePage == 932 && ((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC));
}

static bool IsTrailByte(unsigned char c) {
  return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

const char kDefaultCharacter932[] = "\x81\x45";

// The length of the character at `i`: two bytes for a lead byte that is not
// the last of the text.
static size_t CharLength(const std::string& s, size_t i) {
  return IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
}

std::string SystemText(const std::string& ansi) {
  std::string out;
  out.reserve(ansi.size() + 1);
  for (size_t i = 0; i < ansi.size(); i += CharLength(ansi, i)) {
    if (!IsLeadByte(static_cast<unsigned char>(ansi[i])))
      out += ansi[i];
    else if (CharLength(ansi, i) == 1)
      continue;  // ntdll drops a lead byte that ends the text
    else if (IsTrailByte(static_cast<unsigned char>(ansi[i + 1])))
      out.append(ansi, i, 2);
    else
      out += kDefaultCharacter932;
  }
  return out;
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

// Whether one of the single-byte characters of `name` is among `marks`
// ('|' or '?' may be a double-byte character's second byte).
static bool HasMark(const std::string& name, const char* marks) {
  for (size_t i = 0; i < name.size(); i += CharLength(name, i))
    if (CharLength(name, i) == 1 && name[i] != '\0' && std::strchr(marks, name[i])) return true;
  return false;
}

// A character that no file name may hold: the wildcards, the other marks
// the system reserves and the control characters.
static bool InvalidNameCharacter(const std::string& name) {
  for (char c : name)
    if (static_cast<unsigned char>(c) < 0x20) return true;
  return HasMark(name, "<>:\"|?*");
}

bool ResolvePath(const char* path, std::string* full, std::string* key, DWORD* error) {
  Machine& m = M();
  if (path == nullptr || *path == '\0') {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string p = SystemText(path);
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

bool ParentIsFolder(const std::string& key) {
  auto it = M().nodes.find(ParentKey(key));
  return it != M().nodes.end() && it->second.folder;
}

bool ResolveNewName(const char* path, std::string* full, std::string* key) {
  DWORD error;
  if (!ResolvePath(path, full, key, &error)) {
    M().lastError = error;
    return false;
  }
  if (M().nodes.count(*key)) {
    M().lastError = ERROR_ALREADY_EXISTS;
    return false;
  }
  if (!ParentIsFolder(*key)) {
    M().lastError = ERROR_PATH_NOT_FOUND;
    return false;
  }
  return !WriteDenied(*key);
}

Node& AddNode(const std::string& key, const std::string& full, bool folder, DWORD attr) {
  Node& n = M().nodes[key];
  n = Node();
  n.path = full;
  n.folder = folder;
  n.attributes = attr;
  n.order = M().nextOrder++;
  return n;
}

// ---- control API: folders and drives --------------------------------------

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
void SetWindowsDirectory(const std::string& path) { M().windowsDirectory = path; }
void SetSystemDirectory(const std::string& path) { M().systemDirectory = path; }
void SetAnsiCodePage(UINT codePage) {
  if (codePage == 936 || codePage == 949 || codePage == 950)
    M().misuse.push_back("code page " + std::to_string(codePage) + " is not modelled");
  M().codePage = codePage;
}
void SetTempPath(const std::string& path) { M().tempPath = path; }

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

// The system's ANSI code page here maps each byte to the code unit of the same value.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR wide,
                        int wideChars) {
  if (ShouldFail("MultiByteToWideChar")) return 0;
  if (codePage != CP_ACP || flags != 0 || !text || bytes == 0 || wideChars < 0 ||
      (wideChars > 0 && !wide)) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  int n = bytes < 0 ? static_cast<int>(std::strlen(text)) + 1 : bytes;
  if (wideChars == 0) return n;
  if (n > wideChars) {
    M().lastError = ERROR_INSUFFICIENT_BUFFER;
    return 0;
  }
  for (int i = 0; i < n; ++i) wide[i] = static_cast<unsigned char>(text[i]);
  return n;
}

BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES) {
  if (ShouldFail("CreateDirectoryA")) return FALSE;
  std::string full, key;
  if (!ResolveNewName(name, &full, &key)) return FALSE;
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

BOOL RemoveDirectoryA(LPCSTR name) {
  Machine& m = M();
  if (ShouldFail("RemoveDirectoryA")) return FALSE;
  std::string key, full;
  if (!LookupFolder(name, &key, &full) || WriteDenied(key)) return FALSE;
  for (const auto& other : m.nodes) {
    if (other.first != key && ParentKey(other.first) == key) {
      m.lastError = ERROR_DIR_NOT_EMPTY;
      return FALSE;
    }
  }
  // The current directory is held open by the process that is in it.
  if (full.size() <= 3 || Upper(m.currentDirectory) == key) {
    m.lastError = full.size() <= 3 ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
    return FALSE;
  }
  Note("remove folder " + full);
  m.nodes.erase(key);
  return TRUE;
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

// Names are read as the system reads them (SystemText), with one pattern:
// a last part of "*" or "*.*" lists the folder, "." and ".." first as the
// system lists a folder that is not a drive's root. Other wildcards in the
// last part are not modelled; one in a folder's name is an invalid name.
HANDLE FindFirstFileA(LPCSTR name, LPWIN32_FIND_DATAA data) {
  if (ShouldFail("FindFirstFileA")) return INVALID_HANDLE_VALUE;
  std::string pattern = SystemText(name ? name : "");
  size_t slash = LastSeparator(pattern);
  std::string last = pattern.substr(slash == std::string::npos ? 0 : slash + 1);
  bool listing = last == "*" || last == "*.*";
  if (!listing && HasMark(last, "*?")) {
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
