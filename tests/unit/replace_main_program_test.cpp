#include "installer/payload/replace_main_program.h"

#include <cstring>
#include <fstream>
#include <iterator>

#include "fixture.h"
#include "installer/install.h"
#include "installer/payload/payload.h"

namespace {

const char kFolder[] = "C:\\Apps\\Quillmark";
const char kProgram[] = "C:\\Apps\\Quillmark\\Quillmark.exe";
const char kImage[] = "C:\\Apps\\Quillmark\\image.tmp";

const std::string kNew = "MZ the new main program";
const std::vector<DWORD> kDeleteRetries(10, 50);

class ReplaceMain : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::MakeFolders(kFolder);
    std::strcpy(g_state.installFolder, kFolder);
    std::strcpy(g_state.mainProgramPath, kProgram);
    std::strcpy(g_state.tempFolder, "C:\\TEMP\\");
    winsim::SetResource(kMainProgramResource, Packed(kNew));
  }
};

std::vector<DWORD> Pauses(std::initializer_list<std::vector<DWORD>> parts) {
  std::vector<DWORD> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Whatever the outcome, the folder ends with the program alone (no image
// left), nothing staged, and a program that is not read-only.
TEST_F(ReplaceMain, EachStartingPointEndsWithTheProgramAloneInItsFolder) {
  const std::string old = "MZ old";
  const struct {
    const char* what;
    void (*arrange)();
    ReplaceOutcome outcome;
    std::vector<DWORD> pauses;  // the image test's, the old copy's, the delete's retries
    std::string program;        // "" for the folder that stands in its place
    std::vector<std::string> notices;
  } cases[] = {
      {"a first install: the delete of a program that is not there", [] {}, Replaced,
       Pauses({{100}, kDeleteRetries}), kNew, {}},
      {"a copy in use past one more try", [] {
         winsim::PutFile(kProgram, "MZ old");
         winsim::HoldFile(kProgram, 3001);
       }, InUse, {3000}, old, {}},
      {"a copy released within three seconds", [] {
         winsim::PutFile(kProgram, "MZ old");
         winsim::HoldFile(kProgram, 2999);
       }, Replaced, {3000, 100}, kNew, {}},
      {"a read-only copy without a version",
       [] { winsim::PutFile(kProgram, "MZ no version here", FILE_ATTRIBUTE_READONLY); }, Replaced,
       {100}, kNew, {}},
      {"a newer copy that cannot be opened is not asked its version", [] {
         winsim::PutFile(kProgram, winsim::VersionedProgram(0x00020000, 0));
         winsim::FailCall("CreateFileA", 1, ERROR_ACCESS_DENIED);
       }, Replaced, {100}, kNew, {}},
      {"a folder of the program's name, which cannot be deleted as a file",
       [] { winsim::MakeFolders(kProgram); }, Failed, Pauses({{100}, kDeleteRetries}), "",
       {"ERROR 37"}},
      {"an image held past three attempts", [] {
         winsim::PutFile(kProgram, "MZ old");
         winsim::HoldAfterClose(kImage, 2301);
       }, Failed, {100, 1000, 100, 1000, 100, 1000}, old, {"ERROR 28"}},
      {"an image released by the third attempt", [] { winsim::HoldAfterClose(kImage, 2299); },
       Replaced, Pauses({{100, 1000, 100, 1000, 100}, kDeleteRetries}), kNew, {}},
      {"an image left by an earlier run",
       [] { winsim::PutFile(kImage, "stale image from an earlier run"); }, Replaced,
       Pauses({{100}, kDeleteRetries}), kNew, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    EXPECT_EQ(ReplaceMainProgram(), c.outcome);
    EXPECT_EQ(winsim::Pauses(), c.pauses);
    if (c.program.empty()) {
      EXPECT_TRUE(winsim::IsFolder(kProgram));
    } else {
      EXPECT_EQ(winsim::FileData(kProgram), c.program);
    }
    EXPECT_EQ(winsim::Attributes(kProgram) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(winsim::FolderEntries(kFolder), std::vector<std::string>{"Quillmark.exe"});
    EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
    ASSERT_EQ(Captions(), c.notices);
    if (c.notices == std::vector<std::string>{"ERROR 28"}) {
      EXPECT_EQ(winsim::Notices()[0].text,
                "The process cannot access the file because it is being used by another "
                "process.\r\n");
    }
  }
}

TEST_F(ReplaceMain, OnlyAHigherMajorOrLowHalfCountsAsNewer) {
  const struct {
    DWORD ms, ls;
    ReplaceOutcome outcome;
  } cases[] = {
      {0x00010000, 0x00000001, Replaced},      // 1.0.0.1, the carried version
      {0x00010000, 0x00000002, NewerPresent},  // 1.0.0.2
      {0x00010000, 0x00010000, NewerPresent},  // 1.0.1.0
      {0x00020000, 0x00000000, NewerPresent},  // 2.0.0.0
      {0x00010009, 0x00000001, Replaced},      // 1.9.0.1: the minor number is not compared
      {0x00000009, 0x00090009, Replaced},      // 0.9.9.9
      {0x00010000, 0x00000000, Replaced},      // 1.0.0.0
      {0xFFFF0000, 0x00000000, NewerPresent},  // 65535.0.0.0, compared unsigned
  };
  for (const auto& c : cases) {
    Fresh();
    std::string old = winsim::VersionedProgram(c.ms, c.ls);
    winsim::PutFile(kProgram, old);
    EXPECT_EQ(ReplaceMainProgram(), c.outcome) << std::hex << c.ms << "." << c.ls;
    EXPECT_EQ(winsim::FileData(kProgram), c.outcome == Replaced ? kNew : old);
  }
}

TEST_F(ReplaceMain, ReadFileVersionGivesMajorAndTheWholeLowHalf) {
  winsim::PutFile("C:\\v.exe", winsim::VersionedProgram(0x0003000A, 0x00050007));
  DWORD major = 9, low = 9;
  EXPECT_TRUE(ReadFileVersion("C:\\v.exe", &major, &low));
  EXPECT_EQ(major, 3u);
  EXPECT_EQ(low, 0x00050007u);
  EXPECT_FALSE(ReadFileVersion("C:\\missing.exe", &major, &low));
  EXPECT_EQ(major, 0u);
  EXPECT_EQ(low, 0u);
  // Found but unreadable: both stay 0, which is never newer.
  winsim::FailCall("GetFileVersionInfoA", 1, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(ReadFileVersion("C:\\v.exe", &major, &low));
  EXPECT_EQ(major, 0u);
}

// An earlier copy's bytes are anyone's who can write to the install folder.
// A version block that is damaged yields no version, or only what the file
// really carries: never bytes the system did not copy, never a value that
// does not say it is the fixed file information.
TEST_F(ReplaceMain, ADamagedVersionBlockNeverPassesForANewerVersion) {
  const std::string whole = winsim::VersionedProgram(0x00020000, 0x00000003);  // 2.0.0.3
  const size_t block = whole.find("V\0S\0_\0") - 6;  // the VS_VERSIONINFO block
  auto patched = [&](size_t at, std::string bytes) {
    std::string p = whole;
    p.replace(block + at, bytes.size(), bytes);
    return p;
  };
  std::ifstream finding(std::string(QUIL_SOURCE_DIR) +
                            "/tests/fuzz/corpus/version_reader/finding-fixed-info-past-the-resource",
                        std::ios::binary);
  const struct {
    const char* what;
    std::string program;
    DWORD major, low;
  } cases[] = {
      {"a whole block", whole, 2, 3},
      {"the fuzzer's finding: a block longer than the file, cut before the fixed information",
       std::string(std::istreambuf_iterator<char>(finding), {}), 0, 0},
      {"a block cut by the end of the file right after the signature",
       whole.substr(0, block + 44), 0, 0},
      {"a block cut after the major version: the rest reads 0", whole.substr(0, block + 52), 2, 0},
      {"a fixed information without its signature", patched(40, std::string(4, '\0')), 0, 0},
      {"a value shorter than the fixed information", patched(2, std::string("\x30\0", 2)), 0, 0},
      {"a block whose own length ends inside the fixed information",
       patched(0, std::string("\x44\0", 2)), 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    ASSERT_FALSE(c.program.empty());
    winsim::PutFile(kProgram, c.program);
    DWORD major = 9, low = 9;
    ReadFileVersion(kProgram, &major, &low);
    EXPECT_EQ(major, c.major);
    EXPECT_EQ(low, c.low);
    bool newer = c.major > 1;
    EXPECT_EQ(ReplaceMainProgram(), newer ? NewerPresent : Replaced);
    EXPECT_EQ(winsim::FileData(kProgram), newer ? c.program : kNew);
  }
}

// ---- the run around it ---------------------------------------------------------

class ReplaceInRun : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    for (const PayloadEntry& row : kPayloadTable)
      winsim::SetResource(row.resourceId, row.storage == kRaw ? "raw" : Packed("packed"));
    winsim::SetResource(kAgreementResource, "Quillmark 2003\r\n");
    winsim::SetResource(kMainProgramResource, Packed("MZ new"));
    winsim::Script({winsim::Enter(), winsim::Enter()});
  }
  static constexpr const char* kInstalled = "C:\\Program Files\\Quillmark\\Quillmark.exe";
};

TEST_F(ReplaceInRun, ARunningCopyEndsTheRunWithFourAndNothingWritten) {
  winsim::PutFile(kInstalled, "MZ running");
  winsim::HoldFile(kInstalled, 60000);
  EXPECT_EQ(RunInstaller(nullptr), 0);
  EXPECT_TRUE(OnlyNotice(
      "ERROR 4",
      "Unable to overwrite existing quillmark.exe file; installation aborted.  If your "
      "existing copy of Quillmark is running, please shut it down and try again.  "
      "Otherwise, rebooting your computer should take care of the problem."));
  EXPECT_EQ(winsim::FolderEntries("C:\\Program Files\\Quillmark"),
            std::vector<std::string>{"Quillmark.exe"});
  EXPECT_FALSE(winsim::Exists("C:\\WINDOWS\\wmon03.exe"));
}

TEST_F(ReplaceInRun, ANewerCopyEndsTheRunWithFive) {
  winsim::PutFile(kInstalled, winsim::VersionedProgram(0x00010000, 0x00000002));
  EXPECT_EQ(RunInstaller(nullptr), 0);
  EXPECT_TRUE(OnlyNotice("ERROR 5",
                         "A more recent version of Quillmark already exists at the install "
                         "location.  Installation aborted."));
  EXPECT_EQ(winsim::JournalIndex("launch"), -1);
}

}  // namespace
