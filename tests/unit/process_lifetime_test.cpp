// winsim's model of a process that is killed: it stops at the call, a write
// it was in the middle of is torn, and the system drops what it held.
#include <gtest/gtest.h>

#include "winsim/control_advapi32.h"
#include "winsim/control_kernel32_files.h"
#include "winsim/control_machine.h"

namespace {

const char kFile[] = "C:\\TEMP\\journal.txt";

// Three faultable calls, then a notice that only a whole run reaches.
void WriteAndReport() {
  HANDLE file = CreateFileA(kFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  HKEY key;
  static char emptyClass[] = "";
  RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Held", 0, emptyClass, 0, KEY_READ | KEY_WRITE,
                  nullptr, &key, nullptr);
  DWORD written = 0;
  WriteFile(file, "0123456789", 10, &written, nullptr);
  MessageBoxA(nullptr, "done", "ERROR 0", 0);
  CloseHandle(file);
  RegCloseKey(key);
}

TEST(ProcessLifetime, AKilledProcessStopsAtTheCallAndTheSystemDropsWhatItHeld) {
  struct Case {
    int calls;
    bool killed;
    const char* at;
    std::string data;
  } cases[] = {
      {0, true, "CreateFileA", ""},
      {1, true, "RegCreateKeyExA", ""},
      {2, true, "WriteFile", "01234"},  // torn: half of the write is on disk
      {3, true, "MessageBoxA", "0123456789"},
      {10, false, "", "0123456789"},
  };
  for (const Case& c : cases) {
    winsim::Reset();
    EXPECT_EQ(winsim::RunKilledAfter(c.calls, WriteAndReport), c.killed) << c.calls;
    EXPECT_EQ(winsim::KilledAt(), c.at) << c.calls;
    EXPECT_EQ(winsim::FileData(kFile), c.data) << c.calls;
    EXPECT_EQ(winsim::Exists(kFile), c.calls > 0) << c.calls;
    EXPECT_EQ(winsim::OpenHandleCount(), 0) << c.calls;
    EXPECT_EQ(winsim::OpenRegKeyCount(), 0) << c.calls;
    EXPECT_TRUE(winsim::Misuse().empty()) << c.calls;
    // Nothing holds the file any more: the next process opens it alone.
    HANDLE again = CreateFileA(kFile, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << c.calls;
    CloseHandle(again);
  }
}

TEST(ProcessLifetime, TheNextProcessStartsAfreshOnTheSameMachine) {
  winsim::Reset();
  winsim::FailCall("CreateFileA", 5, ERROR_DISK_FULL);
  SetCurrentDirectoryA("C:\\TEMP");
  winsim::RunKilledAfter(3, WriteAndReport);
  EXPECT_EQ(winsim::CurrentDirectory(), "C:\\");
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(winsim::FaultableCallCount(), 0);
  EXPECT_TRUE(winsim::Journal().empty());
  EXPECT_TRUE(winsim::RegKeyExists("HKCU\\Software\\Held")) << "the registry stays";
  // The fault scripted for the killed process is gone with it.
  for (int i = 0; i < 6; ++i) {
    HANDLE h = CreateFileA(kFile, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << i;
    CloseHandle(h);
  }
}

}  // namespace
