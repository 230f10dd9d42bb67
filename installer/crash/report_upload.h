// Delivery of a crash report to the maker's report server: one HTTP POST of
// the form-encoded report, accepted only by the two-byte reply "OK".
#pragma once

#include "core/win32.h"

// One attempt. Turns the body's blanks into "+" in place first (so a retry
// sends the same text) and keeps automatic dial-up off meanwhile. True only
// when the server's reply body is exactly "OK"; every handle opened is
// closed, innermost first, whatever happens.
bool UploadCrashReport(char* body);

// Stores `value` as the user's automatic dial-up setting. Returns the setting
// it replaces (0 when there was none), or -1 when the Internet Settings key
// cannot be opened.
LONG SetAutoDial(DWORD value);
