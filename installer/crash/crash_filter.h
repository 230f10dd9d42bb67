// The run's last line of defence: an exception that nothing handles is
// announced, recorded under the report key and delivered to the report
// server before the system ends the process.
#pragma once

#include "core/win32.h"

// The unhandled-exception filter of the whole run. Shows the notice, stores
// "log00" to "log03" under the report key, offers the report to the server
// every ten minutes until it is accepted, then deletes the key. Always
// EXCEPTION_CONTINUE_SEARCH, so that the system then ends the process;
// pointers it cannot read are passed on at once, untouched.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers);

// The system's constant name of an exception code; "<UNKNOWN ERROR>" for a
// code outside the usual hardware and runtime ones.
const char* ExceptionName(DWORD code);

// Deletes the report key with its values; a failure passes silently.
void DeleteReportKey();
