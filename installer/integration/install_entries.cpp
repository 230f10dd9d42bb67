// What the finished install leaves in the registry: where the installer ran
// from, the main program's App Paths entry, the install folder, and the entry
// that lists the program for removal.
#include <cstring>

#include "core/path.h"
#include "installer/integration/integration.h"
#include "installer/integration/registry.h"
#include "installer/notices.h"
#include "installer/state.h"

static const char kDisplayName[] = "Quillmark 2003   (Remove Only)";

bool RecordInstallerPath() {
  HKEY key;
  LONG status = OpenSettingsKey(&key);
  if (status != ERROR_SUCCESS) {
    SystemErrorNotice(static_cast<DWORD>(status), "22");
    return false;
  }
  char path[kPathSize] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, kPathSize);
  // A name that filled the whole buffer was cut short: not worth recording.
  bool ok = n > 0 && n < static_cast<DWORD>(kPathSize) &&
            WriteRegString(key, kInstalledValue, path) == ERROR_SUCCESS;
  RegCloseKey(key);
  return ok;
}

bool RegisterAppPath() {
  bool ok = false;
  HKEY appPaths;
  if (OpenRegKey(HKEY_LOCAL_MACHINE, kAppPathsKey, kKeyAccess, &appPaths) == ERROR_SUCCESS) {
    HKEY entry;
    if (OpenRegKey(appPaths, g_state.mainProgramName, kKeyAccess, &entry) == ERROR_SUCCESS) {
      ok = WriteRegString(entry, nullptr, g_state.mainProgramPath) == ERROR_SUCCESS;
      ok = WriteRegString(entry, kPathValue, g_state.installFolder) == ERROR_SUCCESS && ok;
      RegCloseKey(entry);
    }
    RegCloseKey(appPaths);
  }
  HKEY machine;
  LONG status = OpenMachineKey(&machine);
  if (status != ERROR_SUCCESS) {
    SystemErrorNotice(static_cast<DWORD>(status), "10");
    return false;
  }
  WriteRegString(machine, kPathValue, g_state.installFolder);
  RegCloseKey(machine);
  return ok;
}

bool RegisterUninstall() {
  HKEY uninstall;
  if (OpenRegKey(HKEY_LOCAL_MACHINE, kUninstallKey, kKeyAccess, &uninstall) != ERROR_SUCCESS)
    return false;
  HKEY entry;
  if (OpenRegKey(uninstall, g_state.productName, kKeyAccess, &entry) != ERROR_SUCCESS) {
    RegCloseKey(uninstall);
    return false;
  }
  bool ok = WriteRegString(entry, kDisplayNameValue, kDisplayName) == ERROR_SUCCESS;
  char command[kPathSize];
  PathJoin(g_state.windowsDirectory, g_state.uninstallerName, command, kPathSize);
  // A Windows directory too long to join leaves no command worth recording.
  ok = command[0] != '\0' && WriteRegString(entry, kUninstallStringValue, command) == ERROR_SUCCESS && ok;
  RegCloseKey(entry);
  RegCloseKey(uninstall);
  return ok;
}
