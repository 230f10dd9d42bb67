// The simulated machine as a whole: its state, the one decision that makes a
// call fail, the journal of the run, and the installer's process killed at a
// chosen call and cleaned up after by the system as a dead process is.
#include "winsim/machine.h"

#if defined(__SANITIZE_ADDRESS__)
#define WINSIM_LEAK_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WINSIM_LEAK_CHECKS 1
#endif
#endif
#ifdef WINSIM_LEAK_CHECKS
#include <sanitizer/lsan_interface.h>
#endif

namespace winsim {
namespace {

// Thrown at the kill and caught by RunKilledAfter alone: the unwinding
// stands for the process vanishing, so nothing of the installer runs after it.
struct ProcessKilled {};

bool armed = false;  // a kill is due
int killAfter = 0;   // once this many faultable calls have been made
std::string killedAt;  // the call that never happened

}  // namespace

Machine& M() {
  static Machine machine;
  return machine;
}

bool ShouldFail(const char* call) {
  Checkpoint(call);
  Machine& m = M();
  ++m.faultableCalls;
  for (auto it = m.rules.begin(); it != m.rules.end(); ++it) {
    if (!it->call.empty() && it->call != call) continue;
    if (it->countdown > 1) {
      --it->countdown;
      continue;
    }
    m.lastError = it->error;
    if (!it->always) m.rules.erase(it);
    m.failedCalls.push_back(call);
    return true;
  }
  return false;
}

void Reset() {
  Machine& m = M();
  m = Machine();
  ResetLz();
  ResetUi();
  ResetShell();
  ResetRegistry();
  ResetInet();
  ResetModules();
  ResetCom();
  ResetGdi();
  armed = false;
  ResetVersionBlocks();
  ResetProcesses();
  for (UINT& t : m.driveTypes) t = DRIVE_NO_ROOT_DIR;
  m.driveTypes['C' - 'A'] = DRIVE_FIXED;
  AddNode("C:\\", "C:\\", true, FILE_ATTRIBUTE_DIRECTORY);
  m.currentDirectory = "C:\\";
  MakeFolders("C:\\WINDOWS");
  MakeFolders("C:\\TEMP");
  MakeFolders("C:\\Downloads");
  MakeFolders("C:\\Program Files");
  SetSpecialFolder(CSIDL_PROGRAM_FILES, "C:\\Program Files");
  m.windowsDirectory = "C:\\WINDOWS";
  m.systemDirectory = "C:\\WINDOWS\\system32";
  m.tempPath = "C:\\TEMP\\";
  m.modulePath = "C:\\Downloads\\Quil.exe";
  PutFile(m.modulePath, "MZ the installer itself");
  RunProgram(m.modulePath);
}

// ---- faults and misuse --------------------------------------------------------

void FailCall(const std::string& call, int nth, DWORD error, bool always) {
  M().rules.push_back({call, nth, error, always});
}
void FailNthCall(int nth, DWORD error) { M().rules.push_back({"", nth, error, false}); }
int FaultableCallCount() { return M().faultableCalls; }
const std::vector<std::string>& FailedCalls() { return M().failedCalls; }
const std::vector<std::string>& Misuse() { return M().misuse; }

// ---- the journal ------------------------------------------------------------

void Note(const std::string& event) { M().journal.push_back(event); }
const std::vector<std::string>& Journal() { return M().journal; }
int JournalIndex(const std::string& prefix) {
  const std::vector<std::string>& j = M().journal;
  for (size_t i = 0; i < j.size(); ++i)
    if (j[i].compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
  return -1;
}

// ---- the kill -----------------------------------------------------------------

bool KillPending() { return armed && M().faultableCalls >= killAfter; }

void Die(const char* call) {
  armed = false;
  killedAt = call;
  throw ProcessKilled();
}

void Checkpoint(const char* call) {
  if (KillPending()) Die(call);
}

const std::string& KilledAt() { return killedAt; }

bool RunKilledAfter(int calls, const std::function<void()>& run) {
  armed = true;
  killAfter = M().faultableCalls + calls;
  killedAt.clear();
  bool killed = false;
#ifdef WINSIM_LEAK_CHECKS
  // What the killed process had allocated goes with it; the unwinding skips
  // the frees that the installer would have made.
  __lsan_disable();
#endif
  try {
    run();
  } catch (const ProcessKilled&) {
    killed = true;
  }
#ifdef WINSIM_LEAK_CHECKS
  __lsan_enable();
#endif
  armed = false;
  EndProcess();
  return killed;
}

void EndProcess() {
  Machine& m = M();
  EndCurrentProcess();
  m.searches.clear();
  ResetLz();
  DropRegistryHandles();
  EndUiProcess();
  EndShellProcess();
  ResetVersionBlocks();
  // Its libraries, COM objects, windows, GDI objects and internet handles die
  // with it too; what a test set up in those areas is its defaults again.
  ResetInet();
  ResetModules();
  ResetCom();
  ResetGdi();
  m.liveLocalAllocs = 0;
  m.currentDirectory = "C:\\";
  m.lastError = 0;
  m.rules.clear();
  m.faultableCalls = 0;
  m.shortWriteCountdown = 0;
  m.journal.clear();
  m.notices.clear();
  armed = false;
}

}  // namespace winsim
