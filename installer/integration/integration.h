// What the installer records in the registry and the shell. The names of the
// keys and values are the core's, which the uninstaller removes by.
#pragma once

#include "core/registry.h"
#include "core/shortcut_places.h"

// Probes the registry at start-up; false ends the run.
bool PrepareRegistry();
bool RecordInstallerPath();
bool RegisterAppPath();
// True when the uninstall entry was written: the uninstaller then goes into
// the Windows directory, otherwise into the install folder.
bool RegisterUninstall();
void CreateShortcuts();

// The full path of the shortcut file in `place` into `path` (520 bytes), the
// folder chosen as CreateShortcuts chooses it; false when there is none.
bool ShortcutPath(ShortcutPlace place, char* path);
