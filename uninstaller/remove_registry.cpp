// The installer's registry entries: the App Paths and uninstall entries, the
// values it keeps in its settings and machine keys, and each of its keys that
// is left empty, up to the vendor's. A value or key that the installer did not
// write is left alone, and so is every key that still holds one.
//
// Under "nolmaccess" the install wrote nothing below HKEY_LOCAL_MACHINE (it
// found that hive unwritable), so nothing there is touched: what lies there
// belongs to another install made with the machine's rights.
#include <cstring>

#include "core/path.h"
#include "core/product.h"
#include "core/registry.h"
#include "uninstaller/removal_report.h"
#include "uninstaller/uninstall_steps.h"

namespace {

// The key's name as the user knows it, for the report: the hive's name, a
// backslash and the path; and a value's name after it in quotes.
void NoteKeyRemaining(HKEY root, const char* path, const char* value, LONG status) {
  char what[kPathSize + 64];
  bool named =
      CopyText(what, sizeof what,
               root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\") &&
      AppendText(what, sizeof what, path);
  if (named && value)
    named = AppendText(what, sizeof what, " \"") && AppendText(what, sizeof what, value) &&
            AppendText(what, sizeof what, "\"");
  NoteRemaining(named ? what : path, static_cast<DWORD>(status));
}

// Deletes the named values from the key when it is there, in order; a null
// name is the key's default value. The first that cannot be deleted stops
// the rest, so that what a second run relies on (an entry's command, the
// install's folder) goes last.
void RemoveValues(HKEY root, const char* path, const char* const* names, int count) {
  HKEY key;
  LONG status = OpenExistingRegKey(root, path, kKeyAccess, &key);
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) {
    NoteKeyRemaining(root, path, nullptr, status);
    return;
  }
  for (int i = 0; i < count; ++i) {
    status = RegDeleteValueA(key, names[i]);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
      NoteKeyRemaining(root, path, names[i] ? names[i] : "(default)", status);
      break;
    }
  }
  RegCloseKey(key);
}

enum KeyState { kKeyGone, kKeyEmpty, kKeyHolds, kKeyUnreadable };

KeyState StateOfKey(HKEY root, const char* path) {
  HKEY key;
  LONG status = OpenExistingRegKey(root, path, KEY_READ, &key);
  if (status == ERROR_FILE_NOT_FOUND) return kKeyGone;
  if (status != ERROR_SUCCESS) {
    NoteKeyRemaining(root, path, nullptr, status);
    return kKeyUnreadable;
  }
  DWORD subKeys = 0, values = 0;
  status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                            nullptr, nullptr, nullptr, nullptr);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    NoteKeyRemaining(root, path, nullptr, status);
    return kKeyUnreadable;
  }
  return subKeys == 0 && values == 0 ? kKeyEmpty : kKeyHolds;
}

int Components(const char* path) {
  int n = *path ? 1 : 0;
  for (; *path; path = NextCharacter(path)) n += *path == '\\' ? 1 : 0;
  return n;
}

// Deletes the key and then each key above it while they are left empty,
// never one of the first `keep` components of the path.
void RemoveEmptyKeysUpTo(HKEY root, const char* path, int keep) {
  char key[kPathSize];
  if (!CopyText(key, sizeof key, path)) return;
  while (Components(key) > keep) {
    KeyState state = StateOfKey(root, key);
    if (state == kKeyHolds || state == kKeyUnreadable) return;
    if (state == kKeyEmpty) {
      LONG status = RegDeleteKeyA(root, key);
      if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        NoteKeyRemaining(root, key, nullptr, status);
        return;
      }
    }
    *LastBackslash(key) = '\0';
  }
}

// An entry below HKEY_LOCAL_MACHINE: its values, then the entry's key when
// that leaves it empty (never the App Paths or Uninstall key above it).
void RemoveEntry(const char* parent, const char* name, const char* const* values, int count) {
  char path[kPathSize];
  if (!PathJoin(parent, name, path, sizeof path)) return;
  RemoveValues(HKEY_LOCAL_MACHINE, path, values, count);
  if (NothingRemains()) RemoveEmptyKeysUpTo(HKEY_LOCAL_MACHINE, path, Components(parent));
}

}  // namespace

bool UninstallEntryNamesWindowsCopy() {
  if (g_uninstall.nolmaccess) return false;
  char entry[kPathSize], command[kPathSize], windowsCopy[kPathSize];
  if (!PathJoin(kUninstallKey, kProductName, entry, sizeof entry) ||
      !PathJoin(g_uninstall.windowsDirectory, kUninstallerName, windowsCopy, sizeof windowsCopy))
    return false;
  HKEY key;
  LONG status = OpenExistingRegKey(HKEY_LOCAL_MACHINE, entry, KEY_READ, &key);
  if (status == ERROR_SUCCESS) {
    status = ReadRegString(key, kUninstallStringValue, command, sizeof command);
    RegCloseKey(key);
  }
  // Without the entry there is no such uninstaller; an entry that cannot be
  // read leaves the one in the Windows directory unaccounted for.
  if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
    NoteRemaining(windowsCopy, static_cast<DWORD>(status));
  return status == ERROR_SUCCESS && SameText(command, windowsCopy);
}

void RemoveRegistryEntries() {
  const char* const kOwnValues[] = {kInstalledValue, kPatchValue};
  if (!g_uninstall.nolmaccess) {
    const char* const kAppPathValues[] = {nullptr, kPathValue};
    RemoveEntry(kAppPathsKey, kMainProgramName, kAppPathValues, 2);
    RemoveValues(HKEY_LOCAL_MACHINE, kMachineKeyPath, kOwnValues, 2);
  }
  RemoveValues(HKEY_CURRENT_USER, g_uninstall.settingsKeyPath, kOwnValues, 2);
}

void RemoveRecord() {
  if (!g_uninstall.nolmaccess) {
    const char* const kUninstallValues[] = {kDisplayNameValue, kUninstallStringValue};
    RemoveEntry(kUninstallKey, kProductName, kUninstallValues, 2);
    if (!NothingRemains()) return;
  }
  // "Path" is what a second run would find the install by: once it is gone,
  // a second run has nothing to finish.
  HKEY root;
  const char* machine;
  MachineKeyLocation(g_uninstall.nolmaccess, g_uninstall.settingsKeyPath, &root, &machine);
  const char* const kMachineRecord[] = {kPathValue};
  RemoveValues(root, machine, kMachineRecord, 1);
  if (!NothingRemains()) return;
  NoteRecordRemoved();
  // A "Path" in the settings key is an earlier "nolmaccess" install's.
  const char* const kSettingsRecord[] = {kPathValue, kNolmaccessValue};
  RemoveValues(HKEY_CURRENT_USER, g_uninstall.settingsKeyPath, kSettingsRecord, 2);
}

void RemoveEmptyKeys() {
  // Everything up to the vendor's key: never "Software" itself.
  RemoveEmptyKeysUpTo(HKEY_CURRENT_USER, g_uninstall.settingsKeyPath, 1);
  if (!g_uninstall.nolmaccess) RemoveEmptyKeysUpTo(HKEY_LOCAL_MACHINE, kMachineKeyPath, 1);
}
