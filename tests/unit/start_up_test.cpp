// What each program does before anything else: the library search kept to
// the system folder, and Quil.exe's check of its own file.
#include <functional>

#include "core/library_search.h"
#include "fixture.h"
#include "installer/install.h"
#include "installer/payload/payload.h"
#include "uninstaller/uninstall.h"

namespace {

const char kSystem32[] = "C:\\WINDOWS\\system32";

class LibrarySearch : public MachineTest {};

TEST_F(LibrarySearch, IsKeptToTheSystemFolderOnEverySystem) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    bool restricted;
    bool dllDirectoryCleared;
    std::string loadedAs;  // what LoadLibraryExA was given for "lz32.dll"
    DWORD flags;
  } cases[] = {
      {"a current kernel32", [] {}, true, false, "lz32.dll", LOAD_LIBRARY_SEARCH_SYSTEM32},
      {"a kernel32 without SetDefaultDllDirectories",
       [] { winsim::RemoveExport("KERNEL32.DLL", "SetDefaultDllDirectories"); }, false, true,
       std::string(kSystem32) + "\\lz32.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
      {"SetDefaultDllDirectories failing",
       [] { winsim::FailCall("SetDefaultDllDirectories", 1, ERROR_INVALID_PARAMETER); }, false,
       true, std::string(kSystem32) + "\\lz32.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
      {"a kernel32 with neither call (XP before SP1)",
       [] {
         winsim::RemoveExport("KERNEL32.DLL", "SetDefaultDllDirectories");
         winsim::RemoveExport("KERNEL32.DLL", "SetDllDirectoryA");
       },
       false, false, std::string(kSystem32) + "\\lz32.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
  };
  for (const Case& c : cases) {
    Fresh();
    c.arrange();
    EXPECT_EQ(RestrictLibrarySearch(), c.restricted) << c.what;
    const winsim::LibrarySearch& search = winsim::LibrarySearchState();
    EXPECT_EQ(search.defaultDirectories, c.restricted ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0u) << c.what;
    EXPECT_EQ(search.dllDirectorySet, c.dllDirectoryCleared) << c.what;
    EXPECT_EQ(search.dllDirectory, "") << c.what;
    HMODULE lz32 = LoadSystemLibrary("lz32.dll");
    EXPECT_NE(lz32, nullptr) << c.what;
    ASSERT_EQ(winsim::LibraryLoads().size(), 1u) << c.what;
    EXPECT_EQ(winsim::LibraryLoads()[0].name, c.loadedAs) << c.what;
    EXPECT_EQ(winsim::LibraryLoads()[0].flags, c.flags) << c.what;
    if (lz32) FreeLibrary(lz32);
  }
}

// Without the restriction, a library whose place cannot be named is not
// looked for at all: the plain search would begin beside the program.
TEST_F(LibrarySearch, WithoutASystemFolderToNameNothingIsLoaded) {
  winsim::RemoveExport("KERNEL32.DLL", "SetDefaultDllDirectories");
  for (const std::string& folder : {std::string(), "C:\\" + std::string(kPathSize, 'S')}) {
    winsim::SetSystemDirectory(folder);
    RestrictLibrarySearch();
    SetLastError(0);
    EXPECT_EQ(LoadSystemLibrary("version.dll"), nullptr) << folder.size();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  }
  EXPECT_TRUE(winsim::LibraryLoads().empty());
  winsim::SetSystemDirectory(kSystem32);
  EXPECT_EQ(LoadSystemLibrary("nosuch.dll"), nullptr);
}

// The delay-load hook: each library the program delay-loads comes from the
// system folder; one that is not there raises the helper's own exception
// with the helper's record, never a null that sends the helper searching.
TEST_F(LibrarySearch, ADelayLoadedLibraryComesFromTheSystemFolderOrRaises) {
  const ULONG_PTR info = 0x5A5A;
  for (const char* name : {"comctl32.dll", "lz32.dll", "version.dll", "wininet.dll"}) {
    for (bool present : {true, false}) {
      SCOPED_TRACE(std::string(name) + (present ? " present" : " missing"));
      Fresh();
      RestrictLibrarySearch();
      if (!present) winsim::RemoveLibrary(name);
      try {
        HMODULE library = LoadDelayedLibrary(name, info);
        EXPECT_TRUE(present && library != nullptr);
        if (library) FreeLibrary(library);
      } catch (const winsim::RaisedException& raised) {
        EXPECT_FALSE(present);
        EXPECT_EQ(raised.code, 0xC06D007Eu);
        EXPECT_EQ(raised.arguments, std::vector<ULONG_PTR>{info});
      }
      ASSERT_EQ(winsim::LibraryLoads().size(), 1u);
      EXPECT_EQ(winsim::LibraryLoads()[0].flags, static_cast<DWORD>(LOAD_LIBRARY_SEARCH_SYSTEM32));
    }
  }
}

TEST_F(LibrarySearch, ComesBeforeEverythingElseInBothPrograms) {
  EXPECT_EQ(RunQuil(nullptr, nullptr, 0), 0);
  EXPECT_EQ(winsim::JournalIndex("library search system32"), 0);
  // The uninstaller, as started from the Windows directory and as its copy
  // in TEMP.
  for (const char* arguments : {"", "--remove-uninstaller 0 0 C:\\Downloads\\Quil.exe"}) {
    Fresh();
    RunUninstaller(arguments);
    EXPECT_EQ(winsim::JournalIndex("library search system32"), 0) << arguments;
  }
}

// Quil.exe's check of its own resources against the build's record.
class SelfCheck : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::MakeFolders("C:\\Program Files");
    GiveUserShellFolders();
    digests_.clear();
    auto add = [this](WORD id, const std::string& bytes) {
      winsim::SetResource(id, bytes);
      digests_.push_back({id, static_cast<DWORD>(bytes.size()), Crc32(bytes.data(), bytes.size())});
    };
    add(kMainProgramResource, Packed("MZ the main program"));
    for (const PayloadEntry& row : kPayloadTable)
      add(row.resourceId, row.resourceId == kAgreementResource
                              ? "Quillmark 2003\r\nAgreement.\r\n"
                              : std::string("content of ") + row.name);
  }
  int Run() { return RunQuil(nullptr, digests_.data(), static_cast<int>(digests_.size())); }
  std::vector<ResourceDigest> digests_;
};

TEST_F(SelfCheck, Crc32IsTheCommonOne) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32("", 0), 0u);
  EXPECT_EQ(Crc32("\xFF\x00\x80", 3), 0xAC616EDFu);  // zlib.crc32
}

TEST_F(SelfCheck, AnIntactFileInstalls) {
  winsim::Script({winsim::Escape()});
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(winsim::Notices().empty());
  EXPECT_NE(winsim::JournalIndex("dialog 101"), -1);
}

TEST_F(SelfCheck, ADamagedFileIsRefusedBeforeAnythingIsShownOrWritten) {
  const WORD packedRow = 111, rawRow = 186, uninstaller = 119;
  struct Case {
    const char* what;
    std::function<void(std::vector<ResourceDigest>&)> damage;
  } cases[] = {
      {"a byte of a packed row changed",
       [=](std::vector<ResourceDigest>&) {
         std::string data = winsim::ResourceData(packedRow);
         data[data.size() / 2] ^= 0x01;
         winsim::SetResource(packedRow, data);
       }},
      {"a byte of a raw row changed",
       [=](std::vector<ResourceDigest>&) {
         std::string data = winsim::ResourceData(rawRow);
         data[0] ^= 0x80;
         winsim::SetResource(rawRow, data);
       }},
      {"the main program cut short",
       [](std::vector<ResourceDigest>&) {
         std::string data = winsim::ResourceData(kMainProgramResource);
         winsim::SetResource(kMainProgramResource, data.substr(0, data.size() - 1));
       }},
      {"the uninstaller missing", [=](std::vector<ResourceDigest>&) { winsim::RemoveResource(uninstaller); }},
      {"a resource that cannot be loaded",
       [](std::vector<ResourceDigest>&) { winsim::FailCall("LoadResource", 5, ERROR_NOT_ENOUGH_MEMORY); }},
      {"a resource that cannot be found",
       [](std::vector<ResourceDigest>&) { winsim::FailCall("FindResourceA", 39, ERROR_RESOURCE_NAME_NOT_FOUND); }},
      {"an empty record", [](std::vector<ResourceDigest>& d) { d.clear(); }},
  };
  for (const Case& c : cases) {
    Fresh();
    c.damage(digests_);
    EXPECT_EQ(Run(), 0) << c.what;
    EXPECT_TRUE(
        OnlyNotice("ERROR 80", "Quil.exe installer file is damaged.  Please download it again."))
        << c.what;
    // Nothing but the library search came before the notice, nothing after.
    EXPECT_EQ(winsim::Journal(),
              (std::vector<std::string>{"library search system32", "notice ERROR 80"}))
        << c.what;
    EXPECT_FALSE(winsim::Exists("C:\\Program Files\\Quillmark")) << c.what;
    EXPECT_FALSE(winsim::RegKeyExists("HKCU\\Software\\Kestrel")) << c.what;
    EXPECT_TRUE(winsim::Dialogs().empty()) << c.what;
    EXPECT_EQ(winsim::InstalledFilter(), nullptr) << c.what;
  }
}

}  // namespace
