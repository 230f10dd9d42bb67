// The installer's own keys: the settings key and the machine key as this run
// resolves them, the start-up probe, and the move of its values into the
// machine key. The operations and the names are the core's.
#pragma once

#include "core/registry.h"
#include "core/win32.h"

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
