// The files the installer carries as "FILE" resources, one row each: what
// the installer writes and, row for row, what the uninstaller removes.
#pragma once

#include "core/win32.h"

enum PayloadFolder { kInstallFolder, kWindowsDirectory, kUninstallerFolder };
enum PayloadStorage { kRaw, kCompressed };

struct PayloadEntry {
  WORD resourceId;
  PayloadFolder folder;
  const char* name;
  PayloadStorage storage;
  bool readOnly;
};

// kPayloadRows, kMainProgramResource and kAgreementResource, made by the
// build from the payload manifest (resources/payload.tsv), as is the table.
#include "payload_table.h"
extern const PayloadEntry kPayloadTable[kPayloadRows];

// The new main program's name in the install folder until it is moved in; a
// run that failed between the two may leave it behind.
const char kImageName[] = "image.tmp";
