// Test-side control of kernel32's files and folders: seed and read the disk,
// its drives and the system's folders, hold files "in another process", and
// take a snapshot of every file a run leaves.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

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
int OpenHandleCount();  // file, search, LZ and process handles still open
// The nth WriteFile (1 = the next) writes at most `bytes` and still reports success.
void ShortWrite(int nth, DWORD bytes);
// Access the user lacks at a folder and everything below it, the way the
// system's ACLs refuse a standard user Program Files and the Windows folder:
// making, writing, moving, deleting or changing the attributes of anything
// there fails with ERROR_ACCESS_DENIED; reading and entering stay allowed.
void DenyFolderWrites(const std::string& path);

// Folders the system reports.
void SetWindowsDirectory(const std::string& path);  // "" makes the call fail
void SetTempPath(const std::string& path);          // "" makes the call fail
// The system folder, which GetSystemDirectoryA names (C:\WINDOWS\system32 on
// a fresh machine; "" makes it fail) and where the system's libraries lie.
void SetSystemDirectory(const std::string& path);
// The ANSI code page (1252 on a fresh machine); 932, 936, 949 and 950 have
// double-byte characters, whose second byte may be a backslash's.
void SetAnsiCodePage(UINT codePage);

// Every file and folder of the machine, by full path as first created.
struct FileState {
  bool folder;
  DWORD attributes;
  std::string data;
  bool operator==(const FileState& o) const {
    return folder == o.folder && attributes == o.attributes && data == o.data;
  }
};
std::map<std::string, FileState> MachineFiles();

}  // namespace winsim
