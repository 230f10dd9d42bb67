// The registry as both programs use it: create-or-open of a key, typed reads
// and writes, and the names of every key and value the installer writes,
// which are the very names the uninstaller removes. Each operation returns
// the system's status, 0 on success.
#pragma once

#include "core/win32.h"

// Every key is opened for reading and writing, also where it is only read.
const REGSAM kKeyAccess = KEY_READ | KEY_WRITE;

// The machine-wide key: the vendor key itself, no product key below it.
const char kMachineKeyPath[] = "SOFTWARE\\Kestrel";
// The per-user settings key, below the product's key (ComposeProductKeyPath).
const char kSettingsKeyLeaf[] = "\\Settings";

// The values the installer keeps in its own keys; every other value there
// belongs to the installed application.
const char kPatchValue[] = "patch";            // the write probe's "blank"
const char kNolmaccessValue[] = "nolmaccess";  // 1 when the machine hive was unwritable
const char kInstalledValue[] = "Installed";    // where the installer ran from
const char kPathValue[] = "Path";              // the install folder

// Below HKEY_LOCAL_MACHINE: the main program's App Paths entry is the subkey
// of the main program's name, the uninstall entry the subkey of the product's.
const char kAppPathsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kDisplayNameValue[] = "DisplayName";
const char kUninstallStringValue[] = "UninstallString";

// Creates the key with any missing parents, or opens it. The caller closes it.
LONG OpenRegKey(HKEY root, const char* path, REGSAM access, HKEY* key);
// Opens the key only when it exists (ERROR_FILE_NOT_FOUND otherwise); nothing
// is ever created. The caller closes it.
LONG OpenExistingRegKey(HKEY root, const char* path, REGSAM access, HKEY* key);
LONG ReadRegNumber(HKEY key, const char* name, DWORD* value);
// `size` is the buffer's capacity, terminator included. A string that does not
// fit with its terminator fails with ERROR_MORE_DATA. On success the buffer
// always holds a terminated text, also when the stored data carried none.
LONG ReadRegString(HKEY key, const char* name, char* buffer, DWORD size);
LONG WriteRegNumber(HKEY key, const char* name, DWORD value);
// Stores the text with its terminator; a null name writes the default value.
LONG WriteRegString(HKEY key, const char* name, const char* text);

// The product's per-user key `leaf` (kSettingsKeyLeaf, the installer's
// "\\report") below the vendor's key under HKEY_CURRENT_USER, into `path`
// (kPathSize bytes).
void ComposeProductKeyPath(const char* productName, const char* leaf, char* path);
// Where the machine-wide key lies: the vendor's key under HKEY_LOCAL_MACHINE,
// or the settings key once the machine hive was found unwritable
// (`nolmaccess`), as the installer decided at its start.
void MachineKeyLocation(DWORD nolmaccess, const char* settingsKeyPath, HKEY* root,
                        const char** path);
