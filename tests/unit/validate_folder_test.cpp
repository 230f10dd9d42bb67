#include <cstring>

#include "fixture.h"
#include "installer/location/location.h"

namespace {

class ValidateFolder : public MachineTest {
 protected:
  // Validates a copy of `folder` as the caller's 520-byte buffer would hold it.
  bool Validate(const std::string& folder, bool showErrors = true) {
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, folder.data(), std::min(folder.size(), sizeof buffer - 1));
    return ValidateInstallFolder(buffer, showErrors);
  }
  // The code of the one refusal shown, or "" when none was.
  static std::string Refusal() {
    std::vector<std::string> captions = Captions();
    EXPECT_LE(captions.size(), 1u);
    return captions.empty() ? "" : captions[0].substr(std::strlen("ERROR "));
  }
  char buffer[kPathSize];
};

TEST_F(ValidateFolder, AnExistingWritableFolderIsAcceptedAndEntered) {
  winsim::MakeFolders("C:\\Program Files\\Quillmark");
  EXPECT_TRUE(Validate("C:\\Program Files\\Quillmark"));
  EXPECT_EQ(winsim::CurrentDirectory(), "C:\\Program Files\\Quillmark");
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(ValidateFolder, OnlyTheLastLevelIsEverCreated) {
  EXPECT_TRUE(Validate("c:\\Program Files\\Quillmark"));
  EXPECT_TRUE(winsim::IsFolder("C:\\Program Files\\Quillmark"));
  EXPECT_EQ(winsim::CurrentDirectory(), "C:\\Program Files\\Quillmark");

  winsim::Reset();
  winsim::SetDriveType('D', DRIVE_FIXED);
  EXPECT_FALSE(Validate("D:\\New\\Deeper\\Quillmark"));
  EXPECT_TRUE(OnlyNotice("ERROR 16", "Could not create the specified folder."));
  EXPECT_FALSE(winsim::Exists("D:\\New"));
}

TEST_F(ValidateFolder, AnythingButALetterColonBackslashIsAnInvalidDrive) {
  for (const char* bad : {"@:\\apps", "[:\\apps", "{:\\apps", "`:\\apps", "1:\\apps", "C:/apps",
                          "C:", "C:apps", "\\\\server\\share", "", "\xC4:\\apps"}) {
    winsim::Reset();
    EXPECT_FALSE(Validate(bad)) << bad;
    EXPECT_TRUE(OnlyNotice("ERROR 11", "Invalid drive specification")) << bad;
  }
}

TEST_F(ValidateFolder, DrivesThatCannotHoldTheProgramAreRefusedWithTwelve) {
  const struct {
    UINT type;
    const char* text;
  } cases[] = {
      {DRIVE_REMOVABLE, "Quillmark can't be installed to a removable disk."},
      {DRIVE_REMOTE,
       "Quillmark can't be installed to a remote drive. Select your local hard drive instead."},
      {DRIVE_CDROM, "Invalid drive"},
      {DRIVE_RAMDISK, "Invalid drive"},
  };
  for (const auto& c : cases) {
    winsim::Reset();
    winsim::SetDriveType('E', c.type);
    EXPECT_FALSE(Validate("E:\\apps")) << c.type;
    EXPECT_TRUE(OnlyNotice("ERROR 12", c.text)) << c.type;
    EXPECT_FALSE(winsim::Exists("E:\\apps"));
  }
}

TEST_F(ValidateFolder, AMissingDriveIsCaughtOnlyWhenTheFolderCannotBeMade) {
  EXPECT_FALSE(Validate("Q:\\apps"));
  EXPECT_EQ(Refusal(), "16");
  winsim::Reset();
  winsim::SetDriveType('U', DRIVE_UNKNOWN);
  EXPECT_TRUE(Validate("U:\\apps"));
}

TEST_F(ValidateFolder, TrailingBackslashesAreTrimmedInTheCallersBuffer) {
  winsim::MakeFolders("C:\\Apps");
  EXPECT_TRUE(Validate("C:\\Apps\\Quillmark\\\\\\"));
  EXPECT_STREQ(buffer, "C:\\Apps\\Quillmark");
  EXPECT_EQ(winsim::CurrentDirectory(), "C:\\Apps\\Quillmark");

  // Trimmed also when the folder is then refused.
  winsim::MakeFolders("C:\\Locked");
  winsim::SetAttributes("C:\\Locked", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(Validate("C:\\Locked\\"));
  EXPECT_STREQ(buffer, "C:\\Locked");
  // A drive's root loses its backslash too.
  winsim::SetDriveType('D', DRIVE_FIXED);
  EXPECT_TRUE(Validate("D:\\"));
  EXPECT_STREQ(buffer, "D:");
}

TEST_F(ValidateFolder, TheFolderMayHaveAtMost227Characters) {
  std::string base = "C:\\" + std::string(100, 'a') + "\\";
  winsim::MakeFolders(base);
  std::string longest = base + std::string(227 - base.size(), 'b');
  ASSERT_EQ(longest.size(), 227u);
  EXPECT_TRUE(Validate(longest + "\\\\"));
  EXPECT_FALSE(Validate(longest + "c"));
  EXPECT_TRUE(OnlyNotice("ERROR 27", "Folder name too long"));
}

TEST_F(ValidateFolder, AnExistingFolderIsJudgedByItsAttributesInOrder) {
  const struct {
    DWORD attributes;
    const char* code;
    const char* text;
  } cases[] = {
      {FILE_ATTRIBUTE_READONLY, "14", "The folder is read only."},
      {FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_TEMPORARY, "14", "The folder is read only."},
      {FILE_ATTRIBUTE_TEMPORARY, "15", "Invalid folder"},
      {FILE_ATTRIBUTE_OFFLINE, "15", "Invalid folder"},
      {FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE, "", ""},
  };
  for (const auto& c : cases) {
    winsim::Reset();
    winsim::MakeFolders("C:\\Apps");
    winsim::SetAttributes("C:\\Apps", FILE_ATTRIBUTE_DIRECTORY | c.attributes);
    EXPECT_EQ(Validate("C:\\Apps"), *c.code == '\0') << c.attributes;
    if (*c.code)
      EXPECT_TRUE(OnlyNotice(std::string("ERROR ") + c.code, c.text)) << c.attributes;
    else
      EXPECT_TRUE(winsim::Notices().empty()) << c.attributes;
    // Entered before its attributes were read, refused or not.
    EXPECT_EQ(winsim::CurrentDirectory(), "C:\\Apps");
  }
}

TEST_F(ValidateFolder, TheNameOfAnExistingFileCanBeNeitherEnteredNorCreated) {
  winsim::PutFile("C:\\Apps", "data");
  EXPECT_FALSE(Validate("C:\\Apps"));
  EXPECT_EQ(Refusal(), "16");
  EXPECT_EQ(winsim::FileData("C:\\Apps"), "data");
}

TEST_F(ValidateFolder, AFolderMadeButNotEnteredStaysAndIsRefused) {
  winsim::FailCall("SetCurrentDirectoryA", 2, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Validate("C:\\Apps"));
  EXPECT_EQ(Refusal(), "16");
  EXPECT_TRUE(winsim::IsFolder("C:\\Apps"));
}

TEST_F(ValidateFolder, AFolderWhoseAttributesCannotBeReadIsNotAccepted) {
  winsim::MakeFolders("C:\\Apps");
  winsim::FailCall("GetFileAttributesA", 1, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(Validate("C:\\Apps"));
  EXPECT_EQ(Refusal(), "16");
}

TEST_F(ValidateFolder, WithoutShowingErrorsEveryCaseEndsTheSameSilently) {
  winsim::SetDriveType('E', DRIVE_REMOVABLE);
  winsim::MakeFolders("C:\\Locked");
  winsim::SetAttributes("C:\\Locked", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);
  for (const char* folder : {"1:\\apps", "E:\\apps", "C:\\Locked", "Q:\\apps"})
    EXPECT_FALSE(Validate(folder, false)) << folder;
  EXPECT_TRUE(Validate("C:\\Apps\\", false));
  EXPECT_STREQ(buffer, "C:\\Apps");
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST(PathRoot, IsEverythingBeforeTheFirstBackslashPlusOne) {
  char root[kPathSize];
  PathRoot("C:\\Program Files\\Quillmark", root);
  EXPECT_STREQ(root, "C:\\");
  PathRoot("C:", root);
  EXPECT_STREQ(root, "C:\\");
  std::string longName(600, 'x');
  std::memset(root, '#', sizeof root);
  PathRoot(longName.c_str(), root);
  EXPECT_EQ(std::string(root), std::string(518, 'x') + "\\");
}

}  // namespace
