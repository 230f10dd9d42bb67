// The installer's check of its own file, before it shows anything: a copy
// damaged on the way (a download cut short or altered) installs nothing.
#pragma once

#include <cstddef>

#include "core/win32.h"

// One "FILE" resource as the build made it: its id, its size in bytes and
// the CRC-32 of its bytes (the polynomial of zip and PNG).
struct ResourceDigest {
  WORD id;
  DWORD size;
  DWORD crc32;
};

// The build's record of every "FILE" resource, in the order of the resource
// script (resource_digests.cpp, made by the Windows build).
extern const ResourceDigest kResourceDigests[];
extern const int kResourceDigestCount;

DWORD Crc32(const void* data, size_t size);

// True when each resource of `digests` is in `module` and its bytes are
// those the build recorded; a resource that cannot be found, loaded or read
// counts as damaged.
bool ResourcesIntact(HMODULE module, const ResourceDigest* digests, int count);
