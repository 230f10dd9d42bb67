// The steps of a removal. Each notes in the removal report what it could not
// remove; the sequence (uninstall.cpp) takes the next only while nothing
// remains. So a run that meets a file in use, or a key it may not change,
// keeps what a second run needs to find the install and finish: the record
// in the registry, the main program and the uninstaller itself.
#pragma once

#include "core/win32.h"
#include "uninstaller/state.h"

// remove_files.cpp
void RemoveShortcuts();
// Every file of the payload table but the running uninstaller, and a left
// over image of the main program.
void RemovePayloadFiles();
void RemoveMainProgram();
// Lists what else the install folder holds (the user's, kept) and removes
// the folder when nothing is left in it, unless the running uninstaller is
// in it: its copy removes the folder then.
void RemoveInstallFolder();
// Deletes one file of the install when it is there; true when it is gone.
bool RemoveInstalledFile(const char* path);

// remove_registry.cpp
// True when the uninstall entry names the uninstaller in the Windows
// directory as its command; an entry that cannot be read is noted.
bool UninstallEntryNamesWindowsCopy();
// The App Paths entry, and the values of the settings and machine keys but
// those by which the install is found.
void RemoveRegistryEntries();
// The record by which the install is found: the uninstall entry, "Path" and
// "nolmaccess".
void RemoveRecord();
// The installer's keys that are left empty, up to the vendor's.
void RemoveEmptyKeys();

// self_removal.cpp
bool IsRemovalCopy(const char* arguments);
int RunRemovalCopy(const char* arguments);
// Starts the copy that removes the running uninstaller's file (and the
// install folder, when `removeFolder`) once this process has ended. 0 when
// it was started, otherwise the error that stopped it.
DWORD StartRemovalCopy(bool removeFolder);
