// winsim's internal state, shared by its source files.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "winsim/control.h"

namespace winsim {

struct Node {
  std::string path;  // as first created, for listing
  bool folder = false;
  DWORD attributes = 0;
  std::string data;
  DWORD heldUntil = 0;  // another process holds it until this virtual time
  bool running = false;  // a started program: readable, never writable or deletable
  bool deleteOnClose = false;  // goes when its last handle closes
  unsigned long order = 0;
};

struct OpenFile {
  std::string key;
  DWORD access = 0;
  DWORD share = 0;
  size_t position = 0;
  bool inheritable = false;
  std::set<int> holders;  // the processes that hold this handle
};

// One search of FindFirstFileA: what it found, and how much was handed out.
struct Search {
  std::vector<WIN32_FIND_DATAA> found;
  size_t next = 0;
};

struct Machine {
  UINT driveTypes[26] = {};
  std::map<std::string, Node> nodes;  // by upper-case full path
  std::map<uintptr_t, OpenFile> handles;
  std::map<uintptr_t, Search> searches;  // open FindFirstFileA handles
  int currentProcess = 0;  // the process the program under test runs as
  std::map<std::string, DWORD> holdAfterClose;  // by key: ms another process then holds it
  uintptr_t nextHandle = 0x1000;
  unsigned long nextOrder = 0;
  std::string currentDirectory;
  std::string windowsDirectory, systemDirectory, tempPath, modulePath;
  UINT codePage = 1252;  // the ANSI code page
  DWORD lastError = 0;
  DWORD now = 0;
  std::vector<DWORD> pauses;
  std::map<WORD, std::string> resources;
  std::vector<Notice> notices;
  std::vector<std::string> misuse;
  int liveLocalAllocs = 0;
  std::vector<std::string> journal;
  LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr;
  UINT errorMode = 0;
  // faults
  struct Rule {
    std::string call;  // "" = any call
    int countdown;
    DWORD error;
    bool always;
  };
  std::vector<Rule> rules;
  int faultableCalls = 0;
  std::vector<std::string> failedCalls;  // the names of the calls made to fail
  std::vector<std::string> deniedFolders;  // keys below which writes are refused
  int shortWriteCountdown = 0;
  DWORD shortWriteBytes = 0;
};

Machine& M();

// Counts a faultable call and tells whether it must fail (setting the error).
bool ShouldFail(const char* call);

// Resolves a path as the system would; false with the system error when it
// cannot name anything. `key` is the upper-case lookup key.
bool ResolvePath(const char* path, std::string* full, std::string* key, DWORD* error);
std::string ParentKey(const std::string& key);
// The node a path names, or null with the system's error for it.
Node* Lookup(const char* path, DWORD* error, std::string* key = nullptr,
             std::string* full = nullptr);
// A file handle that the current process holds, or null.
OpenFile* FindHandle(HANDLE h);
// The folder a path names, or null with the system's error set (ERROR_DIRECTORY
// for a file).
Node* LookupFolder(const char* path, std::string* key, std::string* full);
// Whether the folder above `key` exists.
bool ParentIsFolder(const std::string& key);
// The name of a node to be made: false, with the system's error set, when
// the path names nothing, a node already, or a place whose parent is no folder.
bool ResolveNewName(const char* path, std::string* full, std::string* key);
// A new node, file or folder, in place of any node of that key.
Node& AddNode(const std::string& key, const std::string& full, bool folder, DWORD attr);
// Closes the current process's hold on an open file handle; the last hold
// ends the handle, and the last handle of a file opened for deletion on
// close deletes it.
void ReleaseFile(uintptr_t handle, int process);
bool HeldByOther(const Node& n);
// Whether the user may not write at `key`, setting ERROR_ACCESS_DENIED when so.
bool WriteDenied(const std::string& key);
// Names as the system compares them: ASCII letters upper-cased, the second
// byte of a double-byte character left as it is.
std::string Upper(std::string s);
// Where the ANSI code page has double-byte characters, a byte is a
// backslash only where a character begins: the position of the first
// backslash character at or after `from`, or of the last one (npos without).
size_t NextSeparator(const std::string& s, size_t from = 0);
size_t LastSeparator(const std::string& s);
bool IsLeadByte(unsigned char c);
// A name as the file functions hand it on: they convert an ANSI name to
// Unicode before anything judges it, and there a lead byte takes the byte
// after it, whatever that is, and a pair the code page does not define
// becomes the code page's default character; a lead byte with nothing after
// it is dropped. So texts that differ only in such pairs name one file, and
// a '?' or '*' that follows a lead byte is no wildcard. Written back in the
// code page, which is how a search reports the name.
std::string SystemText(const std::string& ansi);
void ResetLz();
void ResetRegistry();
void ResetUi();
void ResetShell();
void ResetGdi();
void ResetInet();
void ResetCom();
void ResetProcesses();
void ResetModules();
// The current process ends (its handles closed, its image no longer
// running) and a new one, not yet started, takes its place.
void EndCurrentProcess();
// For CloseHandle: true when `h` was a process or thread handle (now closed).
bool CloseProcessHandle(HANDLE h);
int OpenProcessHandleCount();
void Note(const std::string& event);

// The kill of RunKilledAfter: every API call first passes a checkpoint, and
// once the process has made its last allowed faultable call, the next call
// of any kind dies there instead.
bool KillPending();
[[noreturn]] void Die(const char* call);
void Checkpoint(const char* call);
// The system's share of ending a process, per area.
void DropRegistryHandles();
void EndUiProcess();
void EndShellProcess();
void ResetVersionBlocks();
// A library the process has loaded, by name; null when it has not.
HMODULE LoadedModule(const char* name);
// A new shell-link object, for CoCreateInstance: the interface `iid` of it.
HRESULT CreateShellLink(REFIID iid, void** out);
void ResetShellLinks();
// What OLE32.DLL exports: the COM library's entry points.
std::map<std::string, FARPROC> Ole32Exports();
template <typename F>
FARPROC Export(F f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(f));
}

}  // namespace winsim
