#include "installer/self_check.h"

namespace {

struct Crc32Table {
  DWORD entries[256];
};

constexpr Crc32Table MakeCrc32Table() {
  Crc32Table table{};
  for (DWORD i = 0; i < 256; ++i) {
    DWORD c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table.entries[i] = c;
  }
  return table;
}

constexpr Crc32Table kCrc32Table = MakeCrc32Table();

bool ResourceIntact(HMODULE module, const ResourceDigest& digest) {
  HRSRC found = FindResourceA(module, MAKEINTRESOURCEA(digest.id), "FILE");
  if (!found || SizeofResource(module, found) != digest.size) return false;
  HGLOBAL loaded = LoadResource(module, found);
  const void* bytes = loaded ? LockResource(loaded) : nullptr;
  return bytes && Crc32(bytes, digest.size) == digest.crc32;
}

}  // namespace

DWORD Crc32(const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  DWORD crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = kCrc32Table.entries[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool ResourcesIntact(HMODULE module, const ResourceDigest* digests, int count) {
  for (int i = 0; i < count; ++i)
    if (!ResourceIntact(module, digests[i])) return false;
  return count > 0;
}
