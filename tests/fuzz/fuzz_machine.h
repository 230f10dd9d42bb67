// What every fuzz target shares: a fresh simulated machine per input, the
// installer's load-time state, a reader of the input's fields, and checks
// that stop the run (libFuzzer keeps the input) when a rule does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "installer/state.h"
#include "resources/resource_ids.h"
#include "winsim/control.h"

// Stops the run with the rule that failed; libFuzzer saves the input.
inline void Require(bool held, const char* rule) {
  if (held) return;
  std::fprintf(stderr, "rule broken: %s\n", rule);
  std::abort();
}

// A fresh machine (C: with its usual folders), the dialog templates of the
// module and the installer's state as loaded.
inline void FreshMachine() {
  winsim::Reset();
  ResetInstallerState();
  winsim::DefineDialog(IDD_LOCATION, IDD_LOCATION_CONTROLS);
  winsim::DefineDialog(IDD_PROGRESS, IDD_PROGRESS_CONTROLS);
  winsim::DefineDialog(IDD_AGREEMENT, IDD_AGREEMENT_CONTROLS);
}

// Whatever the input, a run leaves nothing open, kept or misused.
inline void RequireSoundEnd() {
  Require(winsim::OpenHandleCount() == 0, "no file, search or LZ handle is left open");
  Require(winsim::OpenRegKeyCount() == 0, "no registry key is left open");
  Require(winsim::LiveLocalAllocs() == 0, "every system text is given back");
  Require(winsim::LiveShellAllocations() == 0, "all shell memory is given back");
  Require(winsim::Misuse().empty(), "nothing is misused");
}

// The input, read field by field from the front; past its end every field
// is empty or 0.
struct FuzzInput {
  const uint8_t* data;
  size_t size;
  size_t at = 0;

  bool More() const { return at < size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::string Bytes(size_t n) {
    if (n > size - at) n = size - at;
    std::string s(reinterpret_cast<const char*>(data + at), n);
    at += n;
    return s;
  }
  std::string Rest() { return Bytes(size - at); }
};
