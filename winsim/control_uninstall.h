// Test-side control of what the uninstaller meets: the user's answers to
// questions, the processes it starts, and the registry's keys to compare.
// Included at the end of control.h.
#pragma once

#include <string>
#include <vector>

namespace winsim {

// The scripted user's answers (IDYES, IDNO) to message boxes that ask, in
// turn; a box with only OK takes none. A question with no answer left is
// answered IDNO and reported as misuse.
void QueueAnswer(int button);

// Processes. Process 0 is the program under test as the machine starts; each
// CreateProcessA adds one, started (its image is a running program) and
// holding the inheritable handles of its parent when asked to inherit them.
// EndProcess (control_lifetime.h) ends the current process: its handles are
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

// The names of the calls that FailCall or FailNthCall made fail, in order.
const std::vector<std::string>& FailedCalls();

// Every key of the registry by its full name, sorted: with RegistryValues
// (control_lifetime.h), a record of a key left empty too.
std::vector<std::string> RegistryKeys();

}  // namespace winsim
