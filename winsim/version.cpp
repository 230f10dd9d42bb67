// File versions. A program's fixed file information is found in its bytes by
// its signature, as the system finds it inside the version resource; the
// version block handed out holds that structure alone.
#include <cstring>

#include "winsim/machine.h"

namespace {

const DWORD kSignature = 0xFEEF04BD;

// The fixed file information inside a file's bytes, or false.
bool FixedInfoOf(const std::string& data, VS_FIXEDFILEINFO* info) {
  const char sig[4] = {'\xBD', '\x04', '\xEF', '\xFE'};
  size_t at = data.find(std::string(sig, 4));
  if (at == std::string::npos || data.size() - at < sizeof *info) return false;
  std::memcpy(info, data.data() + at, sizeof *info);
  return true;
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
  std::string bytes = "MZ" + std::string(126, '\0') + "VS_VERSION_INFO";
  bytes.append(reinterpret_cast<const char*>(&info), sizeof info);
  return bytes + std::string(64, '\0');
}

}  // namespace winsim

using namespace winsim;

DWORD GetFileVersionInfoSizeA(LPCSTR name, LPDWORD handle) {
  if (handle) *handle = 0;
  if (ShouldFail("GetFileVersionInfoSizeA")) return 0;
  std::string data;
  VS_FIXEDFILEINFO info;
  if (!DataOf(name, &data)) return 0;
  if (!FixedInfoOf(data, &info)) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return 0;
  }
  return sizeof info;
}

BOOL GetFileVersionInfoA(LPCSTR name, DWORD, DWORD size, LPVOID block) {
  if (ShouldFail("GetFileVersionInfoA")) return FALSE;
  std::string data;
  VS_FIXEDFILEINFO info;
  if (!DataOf(name, &data)) return FALSE;
  if (!FixedInfoOf(data, &info)) {
    M().lastError = ERROR_RESOURCE_TYPE_NOT_FOUND;
    return FALSE;
  }
  // Like the system: as much of the block as fits.
  std::memcpy(block, &info, size < sizeof info ? size : sizeof info);
  return TRUE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* buffer, UINT* size) {
  Checkpoint("VerQueryValueA");
  const VS_FIXEDFILEINFO* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  if (block == nullptr || std::strcmp(subBlock, "\\") != 0 || info->dwSignature != kSignature)
    return FALSE;
  *buffer = const_cast<VS_FIXEDFILEINFO*>(info);
  *size = sizeof *info;
  return TRUE;
}
