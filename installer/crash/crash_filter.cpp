#include "installer/crash/crash_filter.h"

// Passes every exception on to the system's default handling; recording and
// reporting the crash come with the report upload.
LONG WINAPI CrashFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
