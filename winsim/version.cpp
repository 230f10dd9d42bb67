// File versions, as the system's VERSION library hands them out. A program's
// version resource is a VS_VERSIONINFO block: wLength, wValueLength, wType,
// a NUL-terminated UTF-16 key "VS_VERSION_INFO", padding to 32 bits, then the
// value, the fixed file information. The system finds the resource through the
// image's resource directory; here it is found by its key, and its size is
// its wLength, cut at the end of the file. The rest follows the system:
// - GetFileVersionInfoSizeA gives twice the resource's size plus 4 (room for
//   conversions the A calls may make);
// - GetFileVersionInfoA copies as much of the resource as the caller's block
//   takes and leaves the rest of the block as it was;
// - VerQueryValueA of "\" walks the key to the value and gives its address
//   and its wValueLength as they stand, checking neither against the block
//   (a text value is handed out as it stands, without the system's conversion).
#include <cstring>
#include <map>

#include "winsim/machine.h"

namespace {

const DWORD kSignature = 0xFEEF04BD;
const char kKey[] = "VS_VERSION_INFO";
const size_t kHeader = 6;  // wLength, wValueLength, wType

// The blocks GetFileVersionInfoA filled, with how many bytes of each it wrote.
std::map<const void*, size_t> filled;

WORD WordAt(const unsigned char* p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }

// The version resource inside a file's bytes: where it starts and its size.
bool ResourceOf(const std::string& data, size_t* start, size_t* length) {
  std::string key;
  for (const char* c = kKey; ; ++c) {
    key += *c;
    key += '\0';
    if (*c == '\0') break;
  }
  size_t at = data.find(key, kHeader);
  if (at == std::string::npos) return false;
  *start = at - kHeader;
  size_t stated = WordAt(reinterpret_cast<const unsigned char*>(data.data()) + *start);
  *length = std::min(stated, data.size() - *start);
  return *length >= kHeader;
}

// The file's bytes, or false with the system's error.
bool DataOf(LPCSTR name, std::string* data) {
  DWORD error;
  const winsim::Node* n = winsim::Lookup(name, &error);
  if (!n) {
    winsim::M().lastError = error;
    return false;
  }
  if (n->folder) {
    winsim::M().lastError = ERROR_ACCESS_DENIED;
    return false;
  }
  if (winsim::HeldByOther(*n)) {
    winsim::M().lastError = ERROR_SHARING_VIOLATION;
    return false;
  }
  *data = n->data;
  return true;
}

size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

}  // namespace

namespace winsim {

std::string VersionedProgram(DWORD versionMS, DWORD versionLS) {
  VS_FIXEDFILEINFO info = {};
  info.dwSignature = kSignature;
  info.dwStrucVersion = 0x10000;
  info.dwFileVersionMS = info.dwProductVersionMS = versionMS;
  info.dwFileVersionLS = info.dwProductVersionLS = versionLS;
  info.dwFileOS = 4;    // VOS__WINDOWS32
  info.dwFileType = 1;  // VFT_APP
  std::string block(kHeader, '\0');
  for (const char* c = kKey; ; ++c) {
    block += *c;
    block += '\0';
    if (*c == '\0') break;
  }
  block.resize(Align4(block.size()), '\0');
  block.append(reinterpret_cast<const char*>(&info), sizeof info);
  block[0] = static_cast<char>(block.size() & 0xff);
  block[1] = static_cast<char>(block.size() >> 8);
  block[2] = static_cast<char>(sizeof info);
  return "MZ" + std::string(126, '\0') + block + std::string(64, '\0');
}

}  // namespace winsim

using namespace winsim;

DWORD GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
  if (handle) *handle = 0;
  if (ShouldFail("GetFileVersionInfoSizeA")) return 0;
  std::string data;
  size_t start, length;
  if (!DataOf(name, &data)) return 0;
  if (!ResourceOf(data, &start, &length)) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return 0;
  }
  return static_cast<DWORD>(length * 2 + 4);
}

BOOL GetFileVersionInfoA(LPCSTR name, DWORD, DWORD size, LPVOID block) {
  if (ShouldFail("GetFileVersionInfoA")) return FALSE;
  std::string data;
  size_t start, length;
  if (!DataOf(name, &data)) return FALSE;
  if (!ResourceOf(data, &start, &length)) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return FALSE;
  }
  size_t copied = std::min<size_t>(length, size);
  std::memcpy(block, data.data() + start, copied);
  filled[block] = copied;
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* size) {
  Checkpoint("VerQueryValueA");
  if (block == nullptr || std::strcmp(subBlock, "\\") != 0) return FALSE;
  const unsigned char* b = static_cast<const unsigned char*>(block);
  auto it = filled.find(block);
  size_t known = it != filled.end() ? it->second : WordAt(b);
  if (known < kHeader) return FALSE;
  // A 16-bit block has a byte key right after wLength and wValueLength; a
  // 32-bit one has wType there, which is never a printable character.
  bool narrow = b[4] >= ' ';
  size_t at = narrow ? 4 : kHeader;
  size_t unit = narrow ? 1 : 2;
  // The system reads the key up to its NUL wherever that is; here the walk
  // stops at the end of what was filled, where the system would read garbage.
  for (;; at += unit) {
    if (at + unit > known) return FALSE;
    if (b[at] == 0 && (narrow || b[at + 1] == 0)) break;
  }
  *buffer = const_cast<unsigned char*>(b + Align4(at + unit));
  *size = WordAt(b + 2);
  return TRUE;
}

namespace winsim {
// The installer frees its blocks; forget them with the process.
void ResetVersionBlocks() { filled.clear(); }
}  // namespace winsim
