// Test-side control of winsim: seed the simulated machine, script faults,
// and read back what the installer did to it.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// A fresh machine: drive C: fixed with C:\WINDOWS, C:\TEMP and C:\Program
// Files, the current directory C:\, the installer running from
// C:\Downloads\Quil.exe, no resources.
void Reset();

// Files and folders.
void SetDriveType(char letter, UINT type);
bool MakeFolders(const std::string& path);  // with every missing parent
bool PutFile(const std::string& path, const std::string& data,
             DWORD attributes = FILE_ATTRIBUTE_ARCHIVE);
bool Exists(const std::string& path);
bool IsFolder(const std::string& path);
std::string FileData(const std::string& path);  // empty when absent
DWORD Attributes(const std::string& path);      // INVALID_FILE_ATTRIBUTES when absent
void SetAttributes(const std::string& path, DWORD attributes);
std::vector<std::string> FolderEntries(const std::string& path);  // names, in creation order
std::string CurrentDirectory();
// Another process holds the file open without sharing for `ms` of virtual time.
void HoldFile(const std::string& path, DWORD ms);
// Another process (a virus scanner, say) holds the file for `ms` from the
// first time the installer closes it after opening it for writing.
void HoldAfterClose(const std::string& path, DWORD ms);
// A program that is running: like the system's loader, its process lets others
// read the file (and its version) but neither write nor delete it. ShellExecuteA
// starts the programs it opens this way.
void RunProgram(const std::string& path);
void EndProgram(const std::string& path);
bool IsRunning(const std::string& path);
int OpenHandleCount();  // file, search and LZ handles still open

// Folders the shell reports by CSIDL; "" is a folder without a file-system
// path. A fresh machine has CSIDL_PROGRAM_FILES at C:\Program Files.
void SetSpecialFolder(int csidl, const std::string& path);
void RemoveSpecialFolder(int csidl);

// The bytes of a small program that carries a fixed file version (two halves:
// major.minor and build.private), readable through the VERSION calls.
std::string VersionedProgram(DWORD versionMS, DWORD versionLS);

// Folders the system reports.
void SetWindowsDirectory(const std::string& path);  // "" makes the call fail
void SetTempPath(const std::string& path);          // "" makes the call fail
void SetModulePath(const std::string& path);
// The ANSI code page (1252 on a fresh machine); 932, 936, 949 and 950 have
// double-byte characters, whose second byte may be a backslash's.
void SetAnsiCodePage(UINT codePage);

// Virtual clock: Sleep advances it at once and is recorded.
DWORD Now();
const std::vector<DWORD>& Pauses();

// "FILE" resources of the module, by id.
void SetResource(WORD id, const std::string& bytes);
void RemoveResource(WORD id);
std::string ResourceData(WORD id);  // empty when absent

// Message boxes, in the order shown.
struct Notice {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
};
const std::vector<Notice>& Notices();

// Faults. Every simulated call that can fail counts as one "faultable call".
// FailCall makes the nth call (1 = the next one) of that name fail with
// `error`, once or from then on; FailNthCall does the same for the nth
// faultable call of any name.
void FailCall(const std::string& call, int nth, DWORD error, bool always = false);
void FailNthCall(int nth, DWORD error);
int FaultableCallCount();
// The nth WriteFile (1 = the next) writes at most `bytes` and still reports success.
void ShortWrite(int nth, DWORD bytes);

// Misuse of the API that a real system would punish (closing a handle that is
// not open, leaking system-allocated text). Tests expect this to stay empty.
const std::vector<std::string>& Misuse();
// System texts handed out by FormatMessageA and not yet given back with LocalFree.
int LiveLocalAllocs();

}  // namespace winsim

namespace winsim {

// Dialog templates the module carries: the control ids of each, in template
// order. A template not defined here cannot be created (DialogBoxParamA -1).
void DefineDialog(int templateId, const std::vector<int>& controls);
void RemoveDialog(int templateId);

// The scripted user. Each action is taken in turn by whichever modal dialog
// is up. A dialog left with no action ends with -1 and is reported as misuse.
struct UserAction {
  enum Kind { kPress, kEnter, kEscape } kind;
  int control;
};
UserAction Press(int control);
UserAction Enter();
UserAction Escape();
void Script(const std::vector<UserAction>& actions);
// Answers of the folder browser, in turn: a folder's path, or "" for an item
// without a file-system path. QueueBrowseCancel makes the user cancel.
void QueueBrowse(const std::string& path);
void QueueBrowseCancel();

struct DialogRecord {
  int templateId;
  HWND window;
  HWND owner;
  bool modal;
  INT_PTR result;
  bool destroyed;
  std::vector<int> controls;
  std::vector<std::string> textsAtOpen;  // per control, after WM_INITDIALOG
  std::vector<bool> enabledAtOpen;
  std::vector<std::string> texts;        // now
  std::vector<bool> enabled;
  std::vector<int> ignoredPresses;       // presses on disabled controls
};
const std::vector<DialogRecord>& Dialogs();
std::string DialogText(const DialogRecord& d, int control);
bool DialogEnabled(const DialogRecord& d, int control);

struct BrowseRecord {
  HWND owner;
  std::string title;
  UINT flags;
  bool rootIsDesktop;
};
const std::vector<BrowseRecord>& Browses();
int LiveShellAllocations();

}  // namespace winsim

namespace winsim {

// The run's significant events, in order: "SetErrorMode 2", "filter set",
// "common controls", "notice ERROR 12", "dialog 101", "dialog 101 -> 1",
// "modeless 103", "destroy 103", "create <path>", "move <from> -> <to>",
// "windows directory", "temp path", "current directory <path>", "reg create <key> ...", "reg set <key> [<name>]",
// "launch <file> | <parameters> | <directory> | <show> | from <current directory>".
const std::vector<std::string>& Journal();
int JournalIndex(const std::string& prefix);  // first entry that begins so, or -1
LPTOP_LEVEL_EXCEPTION_FILTER InstalledFilter();
UINT ErrorMode();

}  // namespace winsim

namespace winsim {

// The registry. Keys are named from their hive, "HKEY_CURRENT_USER\Software\..."
// or "HKCU\Software\..." (HKLM, HKCR likewise); key and value names match
// without regard to case; "" names a key's default value.
void SetRegValue(const std::string& key, const std::string& name, DWORD type,
                 const std::string& data);  // creates the key and its parents
void SetRegString(const std::string& key, const std::string& name, const std::string& text);
void SetRegNumber(const std::string& key, const std::string& name, DWORD value);
bool RegKeyExists(const std::string& key);
bool RegValueExists(const std::string& key, const std::string& name);
DWORD RegType(const std::string& key, const std::string& name);  // REG_NONE when absent
std::string RegData(const std::string& key, const std::string& name);  // raw bytes
// A REG_SZ value's text: its data up to the first NUL.
std::string RegString(const std::string& key, const std::string& name);
DWORD RegNumber(const std::string& key, const std::string& name);  // 0 when absent
std::vector<std::string> RegValueNames(const std::string& key);    // as written, sorted
// Access the user lacks at a key and everything below it, the way an ACL
// would refuse it. kDenyWrite refuses creating keys there, opening them for
// writing and setting values; kDenyOpen refuses every open.
enum RegDenial { kDenyWrite, kDenyOpen };
void DenyRegistry(const std::string& key, RegDenial denial);
// The nth RegSetValueExA (1 = the next) reports success and stores nothing.
void LoseRegWrite(int nth);
int OpenRegKeyCount();  // keys opened by the installer and not yet closed

}  // namespace winsim
#include "winsim/control_inet.h"

#include "winsim/control_com.h"
#include "winsim/control_gdi.h"
#include "winsim/control_lifetime.h"
#include "winsim/control_uninstall.h"
