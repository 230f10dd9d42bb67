// The Windows build's load configuration, the second guard beside the
// delay-loaded imports: on Windows 10 1607 and later, DependentLoadFlags
// keeps the libraries that the program's own imports need to the system
// folder. Every other field is left as the system's default. The size ends
// before the table of safe exception handlers, which the program does not
// have: a 32-bit program that names one is held to it.
//
// This toolchain's GNU ld (2.40) does not point the PE header at this
// structure itself; tools/pe_load_config.py does so right after the link,
// from the linker's map, and checks what it points at.
#include <cstddef>

#include "core/win32.h"

namespace {

constexpr IMAGE_LOAD_CONFIG_DIRECTORY MakeLoadConfig() {
  IMAGE_LOAD_CONFIG_DIRECTORY config{};
  config.Size = offsetof(IMAGE_LOAD_CONFIG_DIRECTORY, SEHandlerTable);
  config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;  // DependentLoadFlags
  return config;
}

}  // namespace

// Made by the compiler, not at run time: the loader reads it before any of
// the program's code has run (the post-link check finds it filled in).
extern "C" {
extern const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used;
__attribute__((used)) const IMAGE_LOAD_CONFIG_DIRECTORY _load_config_used = MakeLoadConfig();
}
