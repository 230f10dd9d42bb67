// What one run of the uninstaller could not remove and why, and the user's
// own files that it kept on purpose; and the last message, which says
// "removed" only when nothing of the install remains.
#pragma once

#include <cstddef>

#include "core/win32.h"

// Forgets what an earlier run noted.
void ClearRemovalReport();
// `what` (a path, or a key with a value name) could not be removed; `error`
// is the system's reason.
void NoteRemaining(const char* what, DWORD error);
// The same, for a reason of the uninstaller's own.
void NoteRemainingBecause(const char* what, const char* reason);
// An entry of the install folder that the install did not make, kept.
void NoteKept(const char* name);
bool NothingRemains();
// The registry entries by which the uninstaller finds the install are gone:
// running it again can finish nothing.
void NoteRecordRemoved();

// The system's words for `error` into `reason` (`size` bytes), without the
// line end they end with; "error N" when it has none.
void DescribeError(DWORD error, char* reason, size_t size);

// The caption of every message the uninstaller shows.
extern const char kUninstallCaption[];
// Shows the last message of a run that removed what it could from
// `installFolder`; 0 when everything went, 1 when something remains.
int TellOutcome(const char* installFolder);
