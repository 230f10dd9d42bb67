// reg_dump FILE-HKCU FILE-HKLM-SOFTWARE: saves HKEY_CURRENT_USER and
// HKEY_LOCAL_MACHINE\Software each to a file, whole, in one request apiece.
// The journeys record a prefix's registry with it: an export through reg.exe
// asks for every key and value one by one, which takes a minute in the
// emulated machine, where this takes a second.
#include <windows.h>

#include <cstdio>

namespace {

// Saving a key needs the backup privilege, held but not enabled.
bool EnableBackupPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_PRIVILEGES privileges = {};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueA(nullptr, "SeBackupPrivilege", &privileges.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

bool Save(HKEY root, const char* subkey, const char* file) {
  HKEY key = nullptr;
  // The whole key as 64-bit Windows keeps it, the 32-bit programs' own
  // (Wow6432Node) included; a 32-bit Windows ignores the flag.
  LONG status = RegOpenKeyExA(root, subkey, 0, KEY_READ | KEY_WOW64_64KEY, &key);
  if (status == ERROR_SUCCESS) {
    DeleteFileA(file);  // RegSaveKey refuses a file that exists
    status = RegSaveKeyA(key, file, nullptr);
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    std::printf("cannot save %s: error %ld\n", subkey, status);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: reg_dump FILE-HKCU FILE-HKLM-SOFTWARE\n");
    return 2;
  }
  if (!EnableBackupPrivilege()) {
    std::printf("cannot enable the backup privilege: error %lu\n", GetLastError());
    return 1;
  }
  bool ok = Save(HKEY_CURRENT_USER, "", argv[1]);
  ok = Save(HKEY_LOCAL_MACHINE, "Software", argv[2]) && ok;
  return ok ? 0 : 1;
}
