// What the installer records in the registry and the shell.
#pragma once

// Probes the registry at start-up; false ends the run.
bool PrepareRegistry();
bool RecordInstallerPath();
bool RegisterAppPath();
// True when the uninstall entry was written: the uninstaller then goes into
// the Windows directory, otherwise into the install folder.
bool RegisterUninstall();
void CreateShortcuts();
