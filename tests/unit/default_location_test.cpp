#include <cstring>

#include "fixture.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"

namespace {

const char kMachine[] = "HKLM\\SOFTWARE\\Kestrel";

class DefaultLocation : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ComposeKeyPaths();
  }
  std::string ProgramFiles() {
    FindProgramFiles();
    return g_state.programFilesFolder;
  }
  // The proposal and whether a previous install was found.
  std::pair<std::string, bool> Propose() {
    FindProgramFiles();
    char proposed[kPathSize];
    std::memset(proposed, 0, sizeof proposed);
    bool found = ProposeInstallFolder(proposed);
    return {proposed, found};
  }
};

TEST_F(DefaultLocation, TheShellsProgramFilesLosesOneTrailingBackslash) {
  EXPECT_EQ(ProgramFiles(), "C:\\Program Files");
  winsim::SetSpecialFolder(CSIDL_PROGRAM_FILES, "D:\\Programs\\");
  EXPECT_EQ(ProgramFiles(), "D:\\Programs");
  winsim::SetSpecialFolder(CSIDL_PROGRAM_FILES, "D:\\Programs\\\\");
  EXPECT_EQ(ProgramFiles(), "D:\\Programs\\");
  EXPECT_EQ(winsim::JournalIndex("special folder 38"), 0);
}

TEST_F(DefaultLocation, WithoutTheShellTheFirstFixedDriveIsTaken) {
  winsim::RemoveSpecialFolder(CSIDL_PROGRAM_FILES);
  winsim::SetDriveType('C', DRIVE_NO_ROOT_DIR);
  winsim::SetDriveType('A', DRIVE_REMOVABLE);
  winsim::SetDriveType('D', DRIVE_FIXED);
  winsim::SetDriveType('E', DRIVE_FIXED);
  EXPECT_EQ(ProgramFiles(), "D:\\Program Files");

  winsim::SetDriveType('D', DRIVE_CDROM);
  winsim::SetDriveType('E', DRIVE_REMOTE);
  EXPECT_EQ(ProgramFiles(), "C:\\Program Files") << "no fixed drive at all";

  winsim::SetDriveType('Z', DRIVE_FIXED);
  EXPECT_EQ(ProgramFiles(), "Z:\\Program Files");
}

TEST_F(DefaultLocation, AShellFolderWithoutAPathFallsBackLikeNone) {
  winsim::SetSpecialFolder(CSIDL_PROGRAM_FILES, "");
  winsim::SetDriveType('C', DRIVE_REMOVABLE);
  winsim::SetDriveType('F', DRIVE_FIXED);
  EXPECT_EQ(ProgramFiles(), "F:\\Program Files");
  winsim::FailCall("SHGetMalloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ProgramFiles(), "F:\\Program Files");
}

TEST_F(DefaultLocation, WithNothingRecordedTheDefaultIsProposed) {
  EXPECT_EQ(Propose(), std::make_pair(std::string("C:\\Program Files\\Quillmark"), false));
  winsim::SetSpecialFolder(CSIDL_PROGRAM_FILES, "D:\\Programs\\");
  EXPECT_EQ(Propose(), std::make_pair(std::string("D:\\Programs\\Quillmark"), false));
  EXPECT_FALSE(winsim::Exists("C:\\Program Files\\Quillmark")) << "the default is not made here";
}

TEST_F(DefaultLocation, ARecordedFolderWithTheProgramIsAPreviousInstall) {
  winsim::SetDriveType('E', DRIVE_FIXED);
  winsim::PutFile("E:\\Tools\\Quillmark\\Quillmark.exe", "MZ");
  winsim::SetRegString(kMachine, "Path", "E:\\Tools\\Quillmark\\");
  EXPECT_EQ(Propose(), std::make_pair(std::string("E:\\Tools\\Quillmark"), true));
  EXPECT_EQ(winsim::CurrentDirectory(), "E:\\Tools\\Quillmark");

  // A folder of the program's name counts as the program.
  winsim::Reset();
  winsim::MakeFolders("C:\\Apps\\Quillmark.exe");
  winsim::SetRegString(kMachine, "Path", "C:\\Apps");
  EXPECT_EQ(Propose(), std::make_pair(std::string("C:\\Apps"), true));
}

TEST_F(DefaultLocation, ARecordedFolderWithoutTheProgramIsProposedButNotFound) {
  winsim::MakeFolders("C:\\Apps\\Quillmark");
  winsim::SetRegString(kMachine, "Path", "C:\\Apps\\Quillmark");
  EXPECT_EQ(Propose(), std::make_pair(std::string("C:\\Apps\\Quillmark"), false));
}

TEST_F(DefaultLocation, ARecordedFolderThatIsGoneIsMadeAgain) {
  winsim::MakeFolders("C:\\Apps");
  winsim::SetRegString(kMachine, "Path", "C:\\Apps\\Quillmark");
  EXPECT_EQ(Propose(), std::make_pair(std::string("C:\\Apps\\Quillmark"), false));
  EXPECT_TRUE(winsim::IsFolder("C:\\Apps\\Quillmark"));
}

TEST_F(DefaultLocation, AnUnusableRecordedFolderIsStillProposedAsIs) {
  winsim::SetRegString(kMachine, "Path", "Tools");
  EXPECT_EQ(Propose(), std::make_pair(std::string("Tools"), false));
  winsim::SetDriveType('A', DRIVE_REMOVABLE);
  winsim::SetRegString(kMachine, "Path", "A:\\Quillmark\\");
  EXPECT_EQ(Propose(), std::make_pair(std::string("A:\\Quillmark\\"), false));
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(DefaultLocation, ARecordedValueThatCannotBeAFolderGivesTheDefault) {
  const std::string def = "C:\\Program Files\\Quillmark";
  winsim::SetRegString(kMachine, "Path", ":\\Apps");
  EXPECT_EQ(Propose(), std::make_pair(def, false));
  winsim::SetRegString(kMachine, "Path", "C:\\" + std::string(517, 'a'));  // 521 bytes
  EXPECT_EQ(Propose(), std::make_pair(def, false));
  winsim::SetRegString(kMachine, "Path", "C:\\" + std::string(516, 'a'));  // fits, too long to use
  EXPECT_EQ(Propose().second, false);
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(DefaultLocation, UnderTheFallbackTheRecordedFolderComesFromTheUsersKey) {
  g_state.nolmaccess = 1;
  winsim::PutFile("C:\\Mine\\Quillmark.exe", "MZ");
  winsim::SetRegString("HKCU\\Software\\Kestrel\\Quillmark\\Settings", "Path", "C:\\Mine");
  winsim::SetRegString(kMachine, "Path", "C:\\Elsewhere");
  EXPECT_EQ(Propose(), std::make_pair(std::string("C:\\Mine"), true));
}

}  // namespace
