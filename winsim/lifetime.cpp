// The installer's process as a whole: killed at a chosen call, and cleaned
// up after by the system as a dead process is.
#include "winsim/control_lifetime.h"

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

void ResetLifetime() { armed = false; }

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
  ResetVersionBlocks();
  // Its libraries, COM objects, windows, GDI objects and internet handles die
  // with it too; what a test set up in those areas is its defaults again.
  ResetInet();
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

std::map<std::string, FileState> MachineFiles() {
  std::map<std::string, FileState> files;
  for (const auto& n : M().nodes)
    files[n.second.path] = FileState{n.second.folder, n.second.attributes, n.second.data};
  return files;
}

}  // namespace winsim
