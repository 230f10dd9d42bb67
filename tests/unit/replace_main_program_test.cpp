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
  static std::vector<DWORD> Pauses(std::initializer_list<std::vector<DWORD>> parts) {
    std::vector<DWORD> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  }
  const std::vector<DWORD> kDeleteRetries = std::vector<DWORD>(10, 50);
  const std::string kNew = "MZ the new main program";
};

TEST_F(ReplaceMain, AFirstInstallExpandsTheImageAndMovesItIn) {
  EXPECT_EQ(ReplaceMainProgram(), Replaced);
  EXPECT_EQ(winsim::FileData(kProgram), kNew);
  EXPECT_FALSE(winsim::Exists(kImage));
  EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
  // The image test's first pause, then the delete of a program that is not there.
  EXPECT_EQ(winsim::Pauses(), Pauses({{100}, kDeleteRetries}));
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(ReplaceMain, ACopyInUseIsLeftAloneAfterOneMoreTry) {
  winsim::PutFile(kProgram, "MZ old");
  winsim::HoldFile(kProgram, 3001);
  EXPECT_EQ(ReplaceMainProgram(), InUse);
  EXPECT_EQ(winsim::Pauses(), std::vector<DWORD>{3000});
  EXPECT_EQ(winsim::FileData(kProgram), "MZ old");
  EXPECT_EQ(winsim::FolderEntries(kFolder), std::vector<std::string>{"Quillmark.exe"});
}

TEST_F(ReplaceMain, ACopyReleasedWithinThreeSecondsIsReplaced) {
  winsim::PutFile(kProgram, "MZ old");
  winsim::HoldFile(kProgram, 2999);
  EXPECT_EQ(ReplaceMainProgram(), Replaced);
  EXPECT_EQ(winsim::Pauses(), Pauses({{3000, 100}}));
  EXPECT_EQ(winsim::FileData(kProgram), kNew);
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
    winsim::Reset();
    SetUp();
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
    winsim::Reset();
    SetUp();
    ASSERT_FALSE(c.program.empty()) << c.what;
    winsim::PutFile(kProgram, c.program);
    DWORD major = 9, low = 9;
    ReadFileVersion(kProgram, &major, &low);
    EXPECT_EQ(major, c.major) << c.what;
    EXPECT_EQ(low, c.low) << c.what;
    bool newer = c.major > 1;
    EXPECT_EQ(ReplaceMainProgram(), newer ? NewerPresent : Replaced) << c.what;
    EXPECT_EQ(winsim::FileData(kProgram), newer ? c.program : kNew) << c.what;
  }
}

TEST_F(ReplaceMain, ACopyWithoutVersionOrReadOnlyIsReplacedWithNormalAttributes) {
  winsim::PutFile(kProgram, "MZ no version here", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(ReplaceMainProgram(), Replaced);
  EXPECT_EQ(winsim::FileData(kProgram), kNew);
  EXPECT_EQ(winsim::Attributes(kProgram) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(ReplaceMain, ACopyThatCannotBeOpenedIsNotAskedItsVersion) {
  winsim::PutFile(kProgram, winsim::VersionedProgram(0x00020000, 0));
  winsim::FailCall("CreateFileA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(ReplaceMainProgram(), Replaced);
  EXPECT_EQ(winsim::FileData(kProgram), kNew);
}

TEST_F(ReplaceMain, AnUndeletableCopyFailsTheMoveWithThirtySeven) {
  winsim::MakeFolders(kProgram);  // a folder of the program's name cannot be deleted as a file
  EXPECT_EQ(ReplaceMainProgram(), Failed);
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 37"});
  EXPECT_FALSE(winsim::Exists(kImage));
  EXPECT_TRUE(winsim::IsFolder(kProgram));
}

TEST_F(ReplaceMain, AnImageHeldPastThreeAttemptsFailsWithTwentyEight) {
  winsim::PutFile(kProgram, "MZ old");
  winsim::HoldAfterClose(kImage, 2301);
  EXPECT_EQ(ReplaceMainProgram(), Failed);
  EXPECT_TRUE(OnlyNotice(
      "ERROR 28",
      "The process cannot access the file because it is being used by another process.\r\n"));
  EXPECT_EQ(winsim::Pauses(), Pauses({{100, 1000, 100, 1000, 100, 1000}}));
  EXPECT_FALSE(winsim::Exists(kImage));
  EXPECT_EQ(winsim::FileData(kProgram), "MZ old");
}

TEST_F(ReplaceMain, AnImageReleasedByTheThirdAttemptGoesIn) {
  winsim::HoldAfterClose(kImage, 2299);
  EXPECT_EQ(ReplaceMainProgram(), Replaced);
  EXPECT_EQ(winsim::Pauses(), Pauses({{100, 1000, 100, 1000, 100}, kDeleteRetries}));
  EXPECT_EQ(winsim::FileData(kProgram), kNew);
}

TEST_F(ReplaceMain, ALeftoverImageIsReplacedByTheExpansion) {
  winsim::PutFile(kImage, "stale image from an earlier run");
  EXPECT_EQ(ReplaceMainProgram(), Replaced);
  EXPECT_EQ(winsim::FileData(kProgram), kNew);
  EXPECT_FALSE(winsim::Exists(kImage));
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
