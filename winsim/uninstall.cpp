// Message boxes that ask, folders removed, files copied, and the processes a
// program starts: a parent, the children it starts with the handles they
// inherit, and the waits for their end.
#include <algorithm>
#include <cstring>
#include <deque>

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
  std::deque<int> answers;
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

}  // namespace

void ResetUninstall() {
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

int AnswerMessageBox(UINT type) {
  if ((type & 0xF) == MB_OK) return IDOK;
  if (P().answers.empty()) {
    M().misuse.push_back("a question was asked with no answer scripted for the user");
    return IDNO;
  }
  int answer = P().answers.front();
  P().answers.pop_front();
  return answer;
}

void QueueAnswer(int button) { P().answers.push_back(button); }

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

}  // namespace winsim

using namespace winsim;

BOOL RemoveDirectoryA(LPCSTR name) {
  Machine& m = M();
  if (ShouldFail("RemoveDirectoryA")) return FALSE;
  std::string key, full;
  if (!LookupFolder(name, &key, &full)) return FALSE;
  for (const auto& other : m.nodes) {
    if (other.first != key && ParentKey(other.first) == key) {
      m.lastError = ERROR_DIR_NOT_EMPTY;
      return FALSE;
    }
  }
  // The current directory is held open by the process that is in it.
  if (full.size() <= 3 || Upper(m.currentDirectory) == key) {
    m.lastError = full.size() <= 3 ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
    return FALSE;
  }
  Note("remove folder " + full);
  m.nodes.erase(key);
  return TRUE;
}

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
  Machine& m = M();
  if (ShouldFail("CopyFileA")) return FALSE;
  DWORD error;
  std::string fromKey;
  Node* source = Lookup(from, &error, &fromKey);
  if (!source || source->folder) {
    m.lastError = source ? ERROR_ACCESS_DENIED : error;
    return FALSE;
  }
  // The source is read as CreateFileA would open it to read, shared.
  HANDLE in = CreateFileA(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE) return FALSE;
  std::string data = source->data;
  DWORD attributes = source->attributes;
  CloseHandle(in);
  HANDLE out = CreateFileA(to, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                           attributes | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return FALSE;
  DWORD written = 0;
  BOOL ok = WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
            written == data.size();
  error = ok ? 0 : GetLastError();
  CloseHandle(out);
  if (!ok) {
    DeleteFileA(to);
    m.lastError = error;
    return FALSE;
  }
  m.lastError = 0;
  return TRUE;
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
