// Test-side control of the simulated machine as a whole: a fresh machine,
// faults scripted into its calls, the misuse it saw, the journal of the run,
// and the installer's process killed at a chosen call.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// A fresh machine: drive C: fixed with C:\WINDOWS, C:\TEMP and C:\Program
// Files, the current directory C:\, the installer running from
// C:\Downloads\Quil.exe, no resources.
void Reset();

// Faults. Every simulated call that can fail counts as one "faultable call".
// FailCall makes the nth call (1 = the next one) of that name fail with
// `error`, once or from then on; FailNthCall does the same for the nth
// faultable call of any name.
void FailCall(const std::string& call, int nth, DWORD error, bool always = false);
void FailNthCall(int nth, DWORD error);
int FaultableCallCount();
// The names of the calls that FailCall or FailNthCall made fail, in order.
const std::vector<std::string>& FailedCalls();

// Misuse of the API that a real system would punish (closing a handle that is
// not open, leaking system-allocated text, calling a method through an
// interface that lacks it). Tests expect this to stay empty.
const std::vector<std::string>& Misuse();

// The run's significant events, in order: "SetErrorMode 2", "filter set",
// "common controls", "notice ERROR 12", "dialog 101", "dialog 101 -> 1",
// "modeless 103", "destroy 103", "create <path>", "move <from> -> <to>",
// "windows directory", "temp path", "current directory <path>", "reg create <key> ...", "reg set <key> [<name>]",
// "launch <file> | <parameters> | <directory> | <show> | from <current directory>".
const std::vector<std::string>& Journal();
int JournalIndex(const std::string& prefix);  // first entry that begins so, or -1

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

}  // namespace winsim
