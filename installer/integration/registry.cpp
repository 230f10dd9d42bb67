#include "installer/integration/registry.h"

#include <cstring>

#include "installer/integration/integration.h"
#include "installer/notices.h"
#include "installer/state.h"

void ComposeKeyPaths() {
  ComposeProductKeyPath(g_state.productName, kSettingsKeyLeaf, g_state.settingsKeyPath);
  ComposeProductKeyPath(g_state.productName, "\\report", g_state.reportKeyPath);
}

LONG OpenSettingsKey(HKEY* key) {
  return OpenRegKey(HKEY_CURRENT_USER, g_state.settingsKeyPath, kKeyAccess, key);
}

void MachineKeyLocation(HKEY* root, const char** path) {
  MachineKeyLocation(g_state.nolmaccess, g_state.settingsKeyPath, root, path);
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
