#include "installer/integration/registry.h"

#include <cstring>

#include "core/path.h"
#include "installer/integration/integration.h"
#include "installer/notices.h"
#include "installer/state.h"

void ComposeKeyPaths() {
  const char* prefix = "Software\\Kestrel\\";
  CopyText(g_state.settingsKeyPath, kPathSize, prefix);
  AppendText(g_state.settingsKeyPath, kPathSize, g_state.productName);
  AppendText(g_state.settingsKeyPath, kPathSize, "\\Settings");
  CopyText(g_state.reportKeyPath, kPathSize, prefix);
  AppendText(g_state.reportKeyPath, kPathSize, g_state.productName);
  AppendText(g_state.reportKeyPath, kPathSize, "\\report");
}

LONG OpenRegKey(HKEY root, const char* path, REGSAM access, HKEY* key) {
  // The class is an empty text, not a null pointer; the SDK wants it writable.
  static char emptyClass[] = "";
  return RegCreateKeyExA(root, path, 0, emptyClass, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                         nullptr);
}

LONG OpenExistingRegKey(HKEY root, const char* path, REGSAM access, HKEY* key) {
  return RegOpenKeyExA(root, path, 0, access, key);
}

LONG ReadRegNumber(HKEY key, const char* name, DWORD* value) {
  DWORD size = sizeof *value;
  return RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
}

LONG ReadRegString(HKEY key, const char* name, char* buffer, DWORD size) {
  if (size == 0) return ERROR_MORE_DATA;
  DWORD got = size;
  LONG status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &got);
  if (status != ERROR_SUCCESS) {
    buffer[0] = '\0';
    return status;
  }
  // Stored data need not end in a terminator (another program may have written
  // it); add one, and refuse what leaves no room for it.
  if (got > 0 && buffer[got - 1] == '\0') return ERROR_SUCCESS;
  if (got >= size) {
    buffer[0] = '\0';
    return ERROR_MORE_DATA;
  }
  buffer[got] = '\0';
  return ERROR_SUCCESS;
}

LONG WriteRegNumber(HKEY key, const char* name, DWORD value) {
  return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof value);
}

LONG WriteRegString(HKEY key, const char* name, const char* text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
}

LONG OpenSettingsKey(HKEY* key) {
  return OpenRegKey(HKEY_CURRENT_USER, g_state.settingsKeyPath, kKeyAccess, key);
}

void MachineKeyLocation(HKEY* root, const char** path) {
  *root = g_state.nolmaccess ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  *path = g_state.nolmaccess ? g_state.settingsKeyPath : kMachineKeyPath;
}

LONG OpenMachineKey(HKEY* key) {
  HKEY root;
  const char* path;
  MachineKeyLocation(&root, &path);
  return OpenRegKey(root, path, kKeyAccess, key);
}

bool ProbeRegistryWritable(bool machine) {
  HKEY key;
  if ((machine ? OpenMachineKey(&key) : OpenSettingsKey(&key)) != ERROR_SUCCESS) return false;
  char answer[16] = {};
  bool ok = WriteRegString(key, kPatchValue, "blank") == ERROR_SUCCESS &&
            ReadRegString(key, kPatchValue, answer, 15) == ERROR_SUCCESS &&
            std::memcmp(answer, "blank", 5) == 0;
  RegCloseKey(key);
  return ok;
}

void MigrateValue(const char* name, RegValueKind kind) {
  HKEY source, destination;
  if (OpenSettingsKey(&source) != ERROR_SUCCESS) return;
  if (OpenMachineKey(&destination) != ERROR_SUCCESS) {
    RegCloseKey(source);
    return;
  }
  if (kind == kRegString) {
    char text[256];
    if (ReadRegString(source, name, text, 255) == ERROR_SUCCESS)
      WriteRegString(destination, name, text);
  } else {
    DWORD value = 0;
    if (ReadRegNumber(source, name, &value) == ERROR_SUCCESS)
      WriteRegNumber(destination, name, value);
  }
  RegCloseKey(destination);
  RegCloseKey(source);
}

bool PrepareRegistry() {
  if (!ProbeRegistryWritable(false)) {
    ErrorNotice("Unable to access system registry.  Installation aborted.", "1A");
    return false;
  }
  // Decided before anything else resolves the machine key, and never undone.
  if (!ProbeRegistryWritable(true)) g_state.nolmaccess = 1;
  HKEY settings;
  if (OpenSettingsKey(&settings) == ERROR_SUCCESS) {
    WriteRegNumber(settings, kNolmaccessValue, g_state.nolmaccess);
    RegCloseKey(settings);
  }
  if (!g_state.nolmaccess) {
    MigrateValue(kPathValue, kRegString);
    MigrateValue(kInstalledValue, kRegString);
    MigrateValue(kPatchValue, kRegString);
  }
  return true;
}
