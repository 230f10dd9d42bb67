// kernel32's processes: the program under test and the processes it starts,
// with the handles they inherit and the waits for their end; the virtual
// clock; the last error; the exception filter, the error mode and the
// pointers IsBadReadPtr refuses.
#include <algorithm>
#include <cstring>

#include "winsim/machine.h"

namespace winsim {
namespace {

// The pseudo handle of the current process, as the system gives it.
const uintptr_t kCurrentProcess = static_cast<uintptr_t>(-1);

struct ProcessHandle {
  int process;
  bool inheritable;
  std::set<int> holders;
};

struct ProcessTable {
  std::vector<ProcessRecord> records;
  std::map<uintptr_t, ProcessHandle> handles;
};

ProcessTable& P() {
  static ProcessTable p;
  return p;
}

ProcessRecord& Record(int id) { return P().records[static_cast<size_t>(id)]; }

HANDLE NewProcessHandle(int process, bool inheritable) {
  uintptr_t h = M().nextHandle;
  M().nextHandle += 4;
  P().handles[h] = ProcessHandle{process, inheritable, {M().currentProcess}};
  return reinterpret_cast<HANDLE>(h);
}

ProcessHandle* HeldProcessHandle(HANDLE h) {
  auto it = P().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == P().handles.end() || !it->second.holders.count(M().currentProcess)) return nullptr;
  return &it->second;
}

// The ranges MarkUnreadable made unreadable: the process's own memory.
std::vector<std::pair<uintptr_t, size_t>> unreadable;

}  // namespace

void ResetProcesses() {
  unreadable.clear();
  P() = ProcessTable();
  P().records.push_back(ProcessRecord());
  M().currentProcess = 0;
}

bool CloseProcessHandle(HANDLE h) {
  ProcessHandle* p = HeldProcessHandle(h);
  if (!p) return false;
  p->holders.erase(M().currentProcess);
  if (p->holders.empty()) P().handles.erase(reinterpret_cast<uintptr_t>(h));
  return true;
}

int OpenProcessHandleCount() {
  int n = 0;
  for (const auto& h : P().handles) n += h.second.holders.count(M().currentProcess) ? 1 : 0;
  return n;
}

const std::vector<ProcessRecord>& Processes() {
  // The current process runs from whatever the test made its module.
  if (!Record(M().currentProcess).ended) Record(M().currentProcess).image = M().modulePath;
  return P().records;
}
int CurrentProcess() { return M().currentProcess; }

void EndStartedProcess(int id) {
  ProcessRecord& record = Record(id);
  if (record.ended) return;
  if (id == M().currentProcess) record.image = M().modulePath;
  record.ended = true;
  EndProgram(record.image);
  std::vector<uintptr_t> held;
  for (const auto& h : M().handles)
    if (h.second.holders.count(id)) held.push_back(h.first);
  for (uintptr_t h : held) ReleaseFile(h, id);
  for (auto it = P().handles.begin(); it != P().handles.end();) {
    it->second.holders.erase(id);
    it = it->second.holders.empty() ? P().handles.erase(it) : std::next(it);
  }
}

void EndCurrentProcess() {
  EndStartedProcess(M().currentProcess);
  unreadable.clear();
  ProcessRecord next;
  next.image = M().modulePath;
  P().records.push_back(next);
  M().currentProcess = static_cast<int>(P().records.size()) - 1;
}

void SwitchToProcess(int id) {
  if (!Record(M().currentProcess).ended) Record(M().currentProcess).image = M().modulePath;
  M().currentProcess = id;
  M().modulePath = Record(id).image;
  M().currentDirectory =
      Record(id).currentDirectory.empty() ? M().currentDirectory : Record(id).currentDirectory;
}

void RunProgram(const std::string& path) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->running = !n->folder;
}
void EndProgram(const std::string& path) {
  DWORD error;
  if (Node* n = Lookup(path.c_str(), &error)) n->running = false;
}
bool IsRunning(const std::string& path) {
  DWORD error;
  const Node* n = Lookup(path.c_str(), &error);
  return n && n->running;
}
DWORD Now() { return M().now; }
const std::vector<DWORD>& Pauses() { return M().pauses; }
LPTOP_LEVEL_EXCEPTION_FILTER InstalledFilter() { return M().filter; }
UINT ErrorMode() { return M().errorMode; }
void MarkUnreadable(const void* p, size_t bytes) {
  unreadable.push_back({reinterpret_cast<uintptr_t>(p), bytes});
}

LONG RaiseUnhandledException(DWORD code, ULONG_PTR address) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = code;
  record.ExceptionAddress = reinterpret_cast<void*>(address);
  CONTEXT context = {};
  EXCEPTION_POINTERS pointers = {&record, &context};
  Note("exception " + std::to_string(code));
  LPTOP_LEVEL_EXCEPTION_FILTER filter = InstalledFilter();
  return filter ? filter(&pointers) : EXCEPTION_CONTINUE_SEARCH;
}


}  // namespace winsim

using namespace winsim;

void RaiseException(DWORD code, DWORD flags, DWORD count, const ULONG_PTR* arguments) {
  Checkpoint("RaiseException");
  Note("raise " + std::to_string(code));
  throw RaisedException{code, flags, std::vector<ULONG_PTR>(arguments, arguments + count)};
}

DWORD GetLastError(void) {
  Checkpoint("GetLastError");
  return M().lastError;
}
void SetLastError(DWORD error) {
  Checkpoint("SetLastError");
  M().lastError = error;
}

void Sleep(DWORD ms) {
  Checkpoint("Sleep");
  M().now += ms;
  M().pauses.push_back(ms);
}
DWORD GetTickCount(void) {
  Checkpoint("GetTickCount");
  return M().now;
}

UINT SetErrorMode(UINT mode) {
  Checkpoint("SetErrorMode");
  UINT old = M().errorMode;
  M().errorMode = mode;
  Note("SetErrorMode " + std::to_string(mode));
  return old;
}

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  Checkpoint("SetUnhandledExceptionFilter");
  LPTOP_LEVEL_EXCEPTION_FILTER old = M().filter;
  M().filter = filter;
  Note("filter set");
  return old;
}

HANDLE GetCurrentProcess(void) { return reinterpret_cast<HANDLE>(kCurrentProcess); }
DWORD GetCurrentProcessId(void) { return 0x1000 + 4 * static_cast<DWORD>(M().currentProcess); }

// Only what a program does to hand itself to a child: a handle of its own
// process, duplicated within itself.
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD, BOOL inherit, DWORD) {
  if (ShouldFail("DuplicateHandle")) return FALSE;
  uintptr_t self = kCurrentProcess;
  if (reinterpret_cast<uintptr_t>(sourceProcess) != self ||
      reinterpret_cast<uintptr_t>(targetProcess) != self || !target) {
    M().misuse.push_back("DuplicateHandle between processes, which winsim does not model");
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  int process;
  if (reinterpret_cast<uintptr_t>(source) == self) {
    process = M().currentProcess;
  } else if (ProcessHandle* p = HeldProcessHandle(source)) {
    process = p->process;
  } else {
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  *target = NewProcessHandle(process, inherit != FALSE);
  return TRUE;
}

BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD, LPVOID,
                    LPCSTR currentDirectory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION information) {
  Machine& m = M();
  if (ShouldFail("CreateProcessA")) return FALSE;
  if (!application || !startup || !information || startup->cb != sizeof *startup) {
    m.misuse.push_back("CreateProcessA without a program name, start-up record or answer");
    m.lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  DWORD error;
  std::string key, full;
  Node* image = Lookup(application, &error, &key, &full);
  if (!image || image->folder) {
    m.lastError = image ? ERROR_ACCESS_DENIED : error;
    return FALSE;
  }
  // The loader reads the image shared for reading and deletion; a handle
  // that writes it, or shares no reading, stands in the way.
  for (const auto& h : m.handles) {
    if (h.second.key != key) continue;
    if ((h.second.access & GENERIC_WRITE) || !(h.second.share & FILE_SHARE_READ)) {
      m.lastError = ERROR_SHARING_VIOLATION;
      return FALSE;
    }
  }
  std::string directory = m.currentDirectory, folderKey;
  if (currentDirectory && !LookupFolder(currentDirectory, &folderKey, &directory)) {
    m.lastError = ERROR_DIRECTORY;
    return FALSE;
  }
  int id = static_cast<int>(P().records.size());
  ProcessRecord record;
  record.image = full;
  record.commandLine = commandLine ? commandLine : full;
  record.currentDirectory = directory;
  record.inheritedHandles = inheritHandles != FALSE;
  P().records.push_back(record);
  if (inheritHandles) {
    for (auto& h : m.handles)
      if (h.second.inheritable && h.second.holders.count(m.currentProcess))
        h.second.holders.insert(id);
    for (auto& h : P().handles)
      if (h.second.inheritable && h.second.holders.count(m.currentProcess))
        h.second.holders.insert(id);
  }
  RunProgram(full);
  Note("start " + full + " | " + record.commandLine + " | " + directory);
  information->hProcess = NewProcessHandle(id, false);
  information->hThread = NewProcessHandle(id, false);
  information->dwProcessId = 0x1000 + 4 * static_cast<DWORD>(id);
  information->dwThreadId = information->dwProcessId + 2;
  m.lastError = 0;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD ms) {
  ProcessHandle* p = HeldProcessHandle(handle);
  if (!p) {
    M().lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  if (Record(p->process).ended) return WAIT_OBJECT_0;
  if (ms == INFINITE) {
    M().misuse.push_back("waited without end for a process that the test never ends");
    M().lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  Sleep(ms);
  return WAIT_TIMEOUT;
}

BOOL IsBadReadPtr(const void* p, UINT_PTR bytes) {
  if (bytes == 0) return FALSE;
  if (p == nullptr) return TRUE;
  uintptr_t first = reinterpret_cast<uintptr_t>(p);
  for (const auto& range : unreadable)
    if (first < range.first + range.second && range.first < first + bytes) return TRUE;
  return FALSE;
}
