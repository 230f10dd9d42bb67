// Test-side control of the VERSION library: programs that carry a version.
#pragma once

#include <string>

#include "winsim/win32_api.h"

namespace winsim {

// The bytes of a small program that carries a fixed file version (two halves:
// major.minor and build.private), readable through the VERSION calls.
std::string VersionedProgram(DWORD versionMS, DWORD versionLS);

}  // namespace winsim
