// Test-side control of kernel32's processes: the program under test and the
// processes it starts, the programs running, the virtual clock, the
// exception filter and the memory IsBadReadPtr refuses.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// Processes. Process 0 is the program under test as the machine starts; each
// CreateProcessA adds one, started (its image is a running program) and
// holding the inheritable handles of its parent when asked to inherit them.
// EndProcess (control_machine.h) ends the current process: its handles are
// closed as the system closes them (a file opened for deletion on close goes
// with its last handle), its image stops running, a wait for it is over, and
// a new process, not yet started, takes its place.
struct ProcessRecord {
  std::string image;
  std::string commandLine;
  std::string currentDirectory;
  bool inheritedHandles = false;
  bool ended = false;
};
const std::vector<ProcessRecord>& Processes();
int CurrentProcess();
// Ends a process that CreateProcessA started, as EndProcess ends the current one.
void EndStartedProcess(int id);
// The program under test now runs as process `id`, from its image.
void SwitchToProcess(int id);

// A program that is running: like the system's loader, its process lets others
// read the file (and its version) but neither write nor delete it. ShellExecuteA
// starts the programs it opens this way.
void RunProgram(const std::string& path);
void EndProgram(const std::string& path);
bool IsRunning(const std::string& path);

// Virtual clock: Sleep advances it at once and is recorded.
DWORD Now();
const std::vector<DWORD>& Pauses();

// The process's error mode and unhandled-exception filter as last set.
LPTOP_LEVEL_EXCEPTION_FILTER InstalledFilter();
UINT ErrorMode();
// Raises an exception with this code at this address on the calling thread,
// the way the system does when nothing handles it: the filter installed with
// SetUnhandledExceptionFilter gets a full record and context. Returns the
// filter's verdict, EXCEPTION_CONTINUE_SEARCH when none is installed.
LONG RaiseUnhandledException(DWORD code, ULONG_PTR address);
// What RaiseException raised. Control never comes back from the call: the
// simulation throws this, as the system unwinds, for the test to catch.
struct RaisedException {
  DWORD code;
  DWORD flags;
  std::vector<ULONG_PTR> arguments;
};
// IsBadReadPtr refuses null and any range that overlaps one marked here.
void MarkUnreadable(const void* p, size_t bytes);

}  // namespace winsim
