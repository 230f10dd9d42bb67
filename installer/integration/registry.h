// The installer's registry: create-or-open of a key, typed reads and writes,
// and its own three keys. Each returns the system's status, 0 on success.
#pragma once

#include "core/win32.h"

// Every key is opened for reading and writing, also where it is only read.
const REGSAM kKeyAccess = KEY_READ | KEY_WRITE;

// The machine-wide key: the vendor key itself, no product key below it.
const char kMachineKeyPath[] = "SOFTWARE\\Kestrel";

// The values the installer keeps in its own keys; every other value there
// belongs to the installed application.
const char kPatchValue[] = "patch";            // the write probe's "blank"
const char kNolmaccessValue[] = "nolmaccess";  // 1 when the machine hive was unwritable
const char kInstalledValue[] = "Installed";    // where the installer ran from
const char kPathValue[] = "Path";              // the install folder

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

// Composes the per-user key paths from the product name, once, first thing.
void ComposeKeyPaths();

LONG OpenSettingsKey(HKEY* key);
// The machine-wide key, or the per-user settings key once the machine hive
// has been found unwritable.
LONG OpenMachineKey(HKEY* key);
// Where OpenMachineKey leads under the current `nolmaccess`: root and path.
void MachineKeyLocation(HKEY* root, const char** path);

// Writes "blank" into the per-user (false) or machine-wide (true) key and
// reads it back; true when that round trip works.
bool ProbeRegistryWritable(bool machine);
enum RegValueKind { kRegString, kRegNumber };
// Copies one value from the settings key to the machine key, silently.
void MigrateValue(const char* name, RegValueKind kind);
