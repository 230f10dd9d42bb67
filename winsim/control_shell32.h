// Test-side control of shell32 and COM: the special folders, the folder
// browser and the shell's memory; the COM library and the shell-link object.
#pragma once

#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// Folders the shell reports by CSIDL; "" is a folder without a file-system
// path. A fresh machine has CSIDL_PROGRAM_FILES at C:\Program Files.
void SetSpecialFolder(int csidl, const std::string& path);
void RemoveSpecialFolder(int csidl);

// Answers of the folder browser, in turn: a folder's path, or "" for an item
// without a file-system path. QueueBrowseCancel makes the user cancel.
void QueueBrowse(const std::string& path);
void QueueBrowseCancel();

struct BrowseRecord {
  HWND owner;
  std::string title;
  UINT flags;
  bool rootIsDesktop;
};
const std::vector<BrowseRecord>& Browses();
int LiveShellAllocations();

// Something else on the installer's thread has initialised COM already, so
// CoInitialize answers S_FALSE.
void ComAlreadyInitialized();
// Shell-link objects created and not yet released to nothing. The object
// answers IUnknown, IShellLinkA and IPersistFile each with an object of its
// own, as COM allows (only the one IUnknown per object is promised), each
// with a table as long as IShellLinkA's: a method called through an
// interface that does not have it, or one winsim does not model, is reported
// as misuse (control_machine.h).
int LiveComObjects();

// A shell-link file as IPersistFile::Save writes it here: a small text record
// of the link's fields.
struct ShellLinkFile {
  std::string target;
  std::string iconPath;
  int iconIndex = 0;
  std::string description;
  std::string workingDirectory;
};
// False when the file is absent or is not a saved shell link.
bool ReadShellLink(const std::string& path, ShellLinkFile* link);
// Puts a shell-link file as IPersistFile::Save would write it (a test's own
// link, made by someone else than the program under test).
bool WriteShellLink(const std::string& path, const ShellLinkFile& link);

// Every IPersistFile::Save, in order: the path it was given and its result.
struct LinkSave {
  std::string path;
  HRESULT result;
};
const std::vector<LinkSave>& LinkSaves();

}  // namespace winsim
