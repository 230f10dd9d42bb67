// What the installer records in the registry and the shell.
#pragma once

// Below HKEY_LOCAL_MACHINE: the main program's App Paths entry is the subkey
// of the main program's name, the uninstall entry the subkey of the product's.
const char kAppPathsKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kDisplayNameValue[] = "DisplayName";
const char kUninstallStringValue[] = "UninstallString";

// Probes the registry at start-up; false ends the run.
bool PrepareRegistry();
bool RecordInstallerPath();
bool RegisterAppPath();
// True when the uninstall entry was written: the uninstaller then goes into
// the Windows directory, otherwise into the install folder.
bool RegisterUninstall();
void CreateShortcuts();

// The three places a shortcut goes, in the order they are made.
enum ShortcutPlace { kStartMenuShortcut, kDesktopShortcut, kQuickLaunchShortcut };
const int kShortcutPlaces = 3;
// The full path of the shortcut file in `place` into `path` (520 bytes), the
// folder chosen as CreateShortcuts chooses it; false when there is none.
bool ShortcutPath(ShortcutPlace place, char* path);
