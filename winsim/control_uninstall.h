// Test-side control of what the uninstaller meets: the user's answers to
// questions, the processes it starts, and whole-machine records to compare.
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
struct ProcessRecord {
  std::string image;
  std::string commandLine;
  std::string currentDirectory;
  bool inheritedHandles = false;
  bool ended = false;
};
const std::vector<ProcessRecord>& Processes();
int CurrentProcess();
// Ends a process as the system does: its handles are closed (a file opened
// for deletion on close goes with its last handle), its image stops running
// and a wait for it is over.
void EndProcess(int id);
// The program under test now runs as process `id`, from its image.
void SwitchToProcess(int id);

// Every folder and file (path, attributes, content) and every registry key
// and value (name, type, data), each as one line, sorted: records of the
// whole machine to compare before and after.
std::vector<std::string> FileTree();
std::vector<std::string> RegistryTree();

}  // namespace winsim
