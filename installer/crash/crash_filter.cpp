#include "installer/crash/crash_filter.h"

#include <cstdint>
#include <cstring>

#include "core/path.h"
#include "installer/crash/report_upload.h"
#include "installer/integration/registry.h"
#include "installer/state.h"

namespace {

const unsigned kBuildNumber = 37;
const DWORD kRetryPauseMs = 600000;  // ten minutes between delivery attempts
const char kLineBreak[] = "%0A%0D";  // form-encoded line feed, carriage return

// The report text outlives the filter's own frame, and every retry sends it
// again. Its longest form is 98 characters; every append is bounded anyway.
char g_crashReport[128];

struct CodeName {
  DWORD code;
  const char* name;
};

const CodeName kExceptionNames[] = {
    {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
    {0x80000003, "EXCEPTION_BREAKPOINT"},
    {0x80000004, "EXCEPTION_SINGLE_STEP"},
    {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
    {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
    {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
    {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
    {0xC000008C, "EXCEPTION_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
    {0xC000008E, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
    {0xC0000090, "EXCEPTION_FLT_INVALID_OPERATION"},
    {0xC0000091, "EXCEPTION_FLT_OVERFLOW"},
    {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
    {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
    {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
    {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
    {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
};

// "at " and the address as eight upper-case hexadecimal digits. The report
// has room for 32 bits: a 64-bit build reports the address's low half.
void FormatAddressLine(const void* address, char* out, size_t size) {
  const DWORD value = static_cast<DWORD>(reinterpret_cast<uintptr_t>(address) & 0xFFFFFFFFu);
  char line[] = "at 00000000";
  for (int i = 0; i < 8; ++i) line[3 + i] = "0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
  CopyText(out, size, line);
}

// "Build: " and the build number in three decimal digits, zero-padded.
void FormatBuildLine(char* out, size_t size) {
  static_assert(kBuildNumber < 1000, "the build line has room for three digits");
  char line[] = "Build: 000";
  line[7] = static_cast<char>('0' + kBuildNumber / 100);
  line[8] = static_cast<char>('0' + kBuildNumber / 10 % 10);
  line[9] = static_cast<char>('0' + kBuildNumber % 10);
  CopyText(out, size, line);
}

// Stores the crash's four lines under the report key, when it opens, and
// composes the report from the same lines.
void RecordCrash(DWORD code, const void* address) {
  char addressLine[16];
  char buildLine[16];
  FormatAddressLine(address, addressLine, sizeof addressLine);
  FormatBuildLine(buildLine, sizeof buildLine);
  const char* const lines[4] = {"INSTALLER ERROR", ExceptionName(code), addressLine, buildLine};
  const char* const valueNames[4] = {"log00", "log01", "log02", "log03"};

  HKEY key;
  // Without the key only the local record is lost: the report still goes.
  const bool keyOpen =
      OpenRegKey(HKEY_CURRENT_USER, g_state.reportKeyPath, kKeyAccess, &key) == ERROR_SUCCESS;
  CopyText(g_crashReport, sizeof g_crashReport, "log=");
  for (int i = 0; i < 4; ++i) {
    if (keyOpen) WriteRegString(key, valueNames[i], lines[i]);
    AppendText(g_crashReport, sizeof g_crashReport, lines[i]);
    AppendText(g_crashReport, sizeof g_crashReport, kLineBreak);
  }
  if (keyOpen) RegCloseKey(key);
}

}  // namespace

const char* ExceptionName(DWORD code) {
  for (const CodeName& entry : kExceptionNames)
    if (entry.code == code) return entry.name;
  return "<UNKNOWN ERROR>";
}

void DeleteReportKey() {
  // The report key's parent is the product's key; the report key is its
  // last component.
  char parent[kPathSize];
  if (!CopyText(parent, sizeof parent, g_state.reportKeyPath)) return;
  char* cut = LastBackslash(parent);
  if (cut == nullptr) return;
  *cut = '\0';
  HKEY key;
  if (OpenRegKey(HKEY_CURRENT_USER, parent, kKeyAccess, &key) != ERROR_SUCCESS) return;
  RegDeleteKeyA(key, cut + 1);
  RegCloseKey(key);
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* pointers) {
  // Reading a damaged record would fault again inside the filter: pass it on.
  if (pointers == nullptr || IsBadReadPtr(pointers, sizeof *pointers))
    return EXCEPTION_CONTINUE_SEARCH;
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  if (record == nullptr || IsBadReadPtr(record, sizeof *record)) return EXCEPTION_CONTINUE_SEARCH;

  MessageBoxA(nullptr, "An unknown error has occured -- installation aborted", "Error Notice",
              MB_OK);
  RecordCrash(record->ExceptionCode, record->ExceptionAddress);
  // The installer has nothing else to do: it waits for the server for good.
  while (!UploadCrashReport(g_crashReport)) Sleep(kRetryPauseMs);
  DeleteReportKey();
  return EXCEPTION_CONTINUE_SEARCH;
}
