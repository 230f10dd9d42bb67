// Test control of the installer's process as a whole: a run killed at a
// chosen call, the system's clean-up after a process ends, and a snapshot of
// everything a run leaves on the machine.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "winsim/win32_api.h"

namespace winsim {

// Runs `run` as the installer's process and kills it once `calls` faultable
// calls have been made, the way a user ending the task or a power cut would:
// the next call of any kind never happens. A write that the kill lands on is
// torn: half of its bytes reach the file. The system then ends the process
// (see EndProcess). True when the process was killed, false when `run`
// finished first.
bool RunKilledAfter(int calls, const std::function<void()>& run);
// The call at which the last killed process died, e.g. "WriteFile".
const std::string& KilledAt();

// What the system does when a process has ended, killed or not, and the next
// one starts: every file, search, LZ and registry handle of the process is
// dropped, its system texts and shell memory go with it, its dialogs are gone;
// the next process starts in C:\ with no error pending, no faults scripted, an
// empty journal, no notices and no dialogs. Files, their contents, the
// registry, the drives and other running programs stay as they are.
void EndProcess();

// Every file and folder of the machine, by full path as first created.
struct FileState {
  bool folder;
  DWORD attributes;
  std::string data;
  bool operator==(const FileState& o) const {
    return folder == o.folder && attributes == o.attributes && data == o.data;
  }
};
std::map<std::string, FileState> MachineFiles();

// Every registry value, named "KEY\[name]" from its hive, with its type and bytes.
struct RegState {
  DWORD type;
  std::string data;
  bool operator==(const RegState& o) const { return type == o.type && data == o.data; }
};
std::map<std::string, RegState> RegistryValues();

}  // namespace winsim
