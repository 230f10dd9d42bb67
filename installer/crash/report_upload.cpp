#include "installer/crash/report_upload.h"

#include <cstring>

#include "core/library_search.h"
#include "installer/integration/registry.h"

// The report server's host name is a build setting (QUIL_REPORT_HOST in CMake).
#ifndef QUIL_REPORT_HOST
#error "QUIL_REPORT_HOST must name the report server"
#endif

namespace {

const char kReportHost[] = QUIL_REPORT_HOST;
const char kInternetSettingsPath[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const char kFormHeader[] = "Content-Type: application/x-www-form-urlencoded";
// Always a fresh answer from the server itself, never a dialog.
const DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                            INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_NO_UI;
static_assert(kRequestFlags == 0x84003200u, "the request flags of the report");

// One read, judged on what it alone returns: exactly 'O', 'K'.
bool ReplyIsOk(HINTERNET request) {
  char reply[64];
  DWORD got = 0;
  return InternetReadFile(request, reply, sizeof reply, &got) && got == 2 && reply[0] == 'O' &&
         reply[1] == 'K';
}

// Posts the body; true when the server took it. Closes what it opened.
bool PostReport(char* body, DWORD length) {
  HINTERNET root = InternetOpenA("quil", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (root == nullptr) return false;
  HINTERNET connection = InternetConnectA(root, kReportHost, INTERNET_DEFAULT_HTTP_PORT, "", "",
                                          INTERNET_SERVICE_HTTP, 0, 0);
  if (connection == nullptr) {
    InternetCloseHandle(root);
    return false;
  }
  HINTERNET request = HttpOpenRequestA(connection, "POST", "/sreport.asp", nullptr, nullptr,
                                       nullptr, kRequestFlags, 0);
  if (request == nullptr) {
    InternetCloseHandle(connection);
    InternetCloseHandle(root);
    return false;
  }
  const bool accepted =
      HttpSendRequestA(request, kFormHeader, sizeof kFormHeader - 1, body, length) &&
      ReplyIsOk(request);
  InternetCloseHandle(request);
  InternetCloseHandle(connection);
  InternetCloseHandle(root);
  return accepted;
}

}  // namespace

bool UploadCrashReport(char* body) {
  const size_t length = std::strlen(body);
  for (size_t i = 0; i < length; ++i)
    if (body[i] == ' ') body[i] = '+';
  // WININET is delay-loaded: were it missing, the first call into it would
  // raise the delay-load helper's exception here, inside the crash filter,
  // and end the process with the report unsent. Loaded first, its absence
  // is one more failed attempt, tried again ten minutes later.
  HMODULE wininet = LoadSystemLibrary("wininet.dll");
  if (wininet == nullptr) return false;
  // A dial-up prompt must not stand between a crashed installer and the server.
  const LONG previous = SetAutoDial(0);
  const bool accepted = PostReport(body, static_cast<DWORD>(length));
  if (previous != -1 && previous != 0) SetAutoDial(static_cast<DWORD>(previous));
  FreeLibrary(wininet);
  return accepted;
}

LONG SetAutoDial(DWORD value) {
  HKEY key;
  if (OpenRegKey(HKEY_CURRENT_USER, kInternetSettingsPath, kKeyAccess, &key) != ERROR_SUCCESS)
    return -1;
  // Read and written under the two spellings the system uses; value names
  // match without regard to case, so both are the same value.
  DWORD previous = 0;
  if (ReadRegNumber(key, "EnableAutodial", &previous) != ERROR_SUCCESS) previous = 0;
  WriteRegNumber(key, "EnableAutoDial", value);
  RegCloseKey(key);
  return static_cast<LONG>(previous);
}
