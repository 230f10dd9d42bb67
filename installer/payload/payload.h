// The operations that turn one of the installer's "FILE" resources (the
// core's payload table) into one file on disk.
#pragma once

#include "core/held_files.h"
#include "core/payload.h"
#include "core/win32.h"

// The resource's data handle and size, or null after the notice "60", "61"
// or "62". `size` is set whenever the resource was found, also to 0.
HGLOBAL FindPayloadResource(WORD id, DWORD* size);

// 1 when the whole resource went into PathJoin(folder, name); 0 otherwise.
int WriteResourceFile(WORD id, const char* folder, const char* name, bool readOnly);

// Expands the SZDD file (sourceFolder, sourceName) into (targetFolder,
// targetName) through LZ32. 1 when the expanded file is in place.
int ExpandFile(const char* sourceFolder, const char* sourceName, const char* targetFolder,
               const char* targetName);

// Stages the resource as "data.tmp" in the temporary folder, expands it into
// (folder, name) and deletes the staged file.
int WriteCompressedResource(WORD id, const char* folder, const char* name);

// Writes one row; the uninstaller row goes into `uninstallerFolder`.
int WritePayloadEntry(const PayloadEntry& row, const char* uninstallerFolder);
