#include "installer/integration/registry.h"

#include <cstring>

#include "fixture.h"
#include "installer/integration/integration.h"

namespace {

const char kSettings[] = "HKCU\\Software\\Kestrel\\Quillmark\\Settings";
const char kMachine[] = "HKLM\\SOFTWARE\\Kestrel";
const char kAppPath[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillmark.exe";
const char kUninstall[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmark";

class Registry : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ComposeKeyPaths();
  }
  // Reads a value through the installer's own reader, from a key it opens.
  static LONG Read(const char* key, const char* name, char* buffer, DWORD size) {
    HKEY root = key[2] == 'C' ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
    HKEY k;
    LONG status = OpenRegKey(root, key + 5, kKeyAccess, &k);
    if (status != ERROR_SUCCESS) return status;
    status = ReadRegString(k, name, buffer, size);
    RegCloseKey(k);
    return status;
  }
  static int SetAt(const std::string& key, const char* name) {
    return winsim::JournalIndex("reg set " + key + " [" + name + "]");
  }
};

TEST_F(Registry, KeysAreCreatedWithTheirParentsAndOpenedForReadAndWrite) {
  HKEY k;
  ASSERT_EQ(OpenRegKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestrel", kKeyAccess, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_TRUE(winsim::RegKeyExists("HKLM\\software\\kestrel"));
  // An empty class, never a null one, and read-and-write access even to read.
  EXPECT_NE(winsim::JournalIndex("reg create HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrel access 131103 "
                                 "options 0 class \"\""),
            -1);
  ASSERT_EQ(OpenSettingsKey(&k), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_TRUE(winsim::RegKeyExists(kSettings));
}

TEST_F(Registry, StringsAreStoredWithTheirTerminatorAndNumbersAsFourBytes) {
  HKEY k;
  ASSERT_EQ(OpenSettingsKey(&k), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegString(k, "patch", "blank"), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegString(k, nullptr, "default"), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegNumber(k, "nolmaccess", 0x01020304), ERROR_SUCCESS);
  DWORD n = 0;
  EXPECT_EQ(ReadRegNumber(k, "NOLMACCESS", &n), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(n, 0x01020304u);
  EXPECT_EQ(winsim::RegType(kSettings, "patch"), static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(winsim::RegData(kSettings, "patch"), std::string("blank\0", 6));
  EXPECT_EQ(winsim::RegData(kSettings, ""), std::string("default\0", 8));
  EXPECT_EQ(winsim::RegType(kSettings, "nolmaccess"), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(winsim::RegData(kSettings, "nolmaccess"), std::string("\x04\x03\x02\x01", 4));
}

TEST_F(Registry, AStringIsReadOnlyWhenItFitsWithItsTerminator) {
  char buffer[16];
  winsim::SetRegString(kSettings, "fits", std::string(14, 'a'));
  EXPECT_EQ(Read(kSettings, "fits", buffer, 15), ERROR_SUCCESS);
  EXPECT_EQ(std::string(buffer), std::string(14, 'a'));
  winsim::SetRegString(kSettings, "long", std::string(15, 'a'));
  EXPECT_EQ(Read(kSettings, "long", buffer, 15), ERROR_MORE_DATA);
  EXPECT_EQ(Read(kSettings, "absent", buffer, 15), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, AStringStoredWithoutTerminatorIsStillReadTerminated) {
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  winsim::SetRegValue(kSettings, "bare", REG_SZ, "abc");
  EXPECT_EQ(Read(kSettings, "bare", buffer, 15), ERROR_SUCCESS);
  EXPECT_STREQ(buffer, "abc");
  // Filling the buffer leaves no room for the terminator: refused, not left open.
  std::memset(buffer, 'x', sizeof buffer);
  winsim::SetRegValue(kSettings, "full", REG_SZ, std::string(15, 'b'));
  EXPECT_EQ(Read(kSettings, "full", buffer, 15), ERROR_MORE_DATA);
  EXPECT_STREQ(buffer, "");
}

// ---- start-up probes and migration -------------------------------------------

TEST_F(Registry, ACleanMachineGetsBothKeysAndOnlyPatchIsCarriedOver) {
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_EQ(winsim::RegString(kSettings, "patch"), "blank");
  EXPECT_EQ(winsim::RegNumber(kSettings, "nolmaccess"), 0u);
  EXPECT_EQ(winsim::RegType(kSettings, "nolmaccess"), static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(winsim::RegValueNames(kMachine), std::vector<std::string>{"patch"});
  EXPECT_EQ(winsim::RegString(kMachine, "patch"), "blank");
  EXPECT_EQ(g_state.nolmaccess, 0u);
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Registry, AnEarlierInstallsValuesMoveToTheMachineKeyInOrder) {
  winsim::SetRegString(kSettings, "Path", "E:\\Tools\\Quillmark");
  winsim::SetRegString(kSettings, "Installed", "E:\\Setup\\Quil.exe");
  winsim::SetRegString(kMachine, "Path", "C:\\Old");
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_EQ(winsim::RegString(kMachine, "Path"), "E:\\Tools\\Quillmark");
  EXPECT_EQ(winsim::RegString(kMachine, "Installed"), "E:\\Setup\\Quil.exe");
  EXPECT_FALSE(winsim::RegKeyExists("HKLM\\SOFTWARE\\Kestrel\\Quillmark"));
  int path = SetAt("HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrel", "Path");
  int installed = SetAt("HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrel", "Installed");
  ASSERT_NE(path, -1);
  EXPECT_LT(path, installed);
  // "patch" is written by the probe first; its copy comes after the others.
  const std::vector<std::string>& j = winsim::Journal();
  EXPECT_EQ(j.back(), "reg set HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrel [patch]");
}

TEST_F(Registry, APathTooLongForTheMigrationBufferIsLeftBehind) {
  winsim::SetRegString(kSettings, "Path", std::string(254, 'p'));
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_EQ(winsim::RegString(kMachine, "Path"), std::string(254, 'p'));

  winsim::SetRegString(kSettings, "Path", std::string(255, 'q'));
  winsim::SetRegString(kMachine, "Path", "C:\\Kept");
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_EQ(winsim::RegString(kMachine, "Path"), "C:\\Kept");
}

TEST_F(Registry, WithoutMachineWideAccessTheSettingsKeyStandsInSilently) {
  winsim::SetRegString(kSettings, "Path", "E:\\Tools\\Quillmark");
  winsim::DenyRegistry("HKLM\\SOFTWARE", winsim::kDenyWrite);
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_EQ(g_state.nolmaccess, 1u);
  EXPECT_EQ(winsim::RegNumber(kSettings, "nolmaccess"), 1u);
  EXPECT_FALSE(winsim::RegKeyExists(kMachine));
  EXPECT_TRUE(winsim::Notices().empty());
  HKEY k;
  ASSERT_EQ(OpenMachineKey(&k), ERROR_SUCCESS);
  EXPECT_EQ(WriteRegString(k, "Path", "D:\\Q"), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(winsim::RegString(kSettings, "Path"), "D:\\Q");
}

TEST_F(Registry, AMachineKeyThatExistsButCannotBeWrittenFailsItsProbe) {
  winsim::SetRegString(kMachine, "Path", "C:\\Apps\\Quillmark");
  winsim::DenyRegistry(kMachine, winsim::kDenyWrite);
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_EQ(g_state.nolmaccess, 1u);
  EXPECT_EQ(winsim::RegValueNames(kMachine), std::vector<std::string>{"Path"});
}

TEST_F(Registry, AnUnwritableUserHiveEndsTheRunWithOneA) {
  winsim::DenyRegistry("HKCU", winsim::kDenyWrite);
  EXPECT_FALSE(PrepareRegistry());
  EXPECT_TRUE(OnlyNotice("ERROR 1A", "Unable to access system registry.  Installation aborted."));
  EXPECT_FALSE(winsim::RegKeyExists(kMachine)) << "the machine hive is probed only after the user's";
}

TEST_F(Registry, TheProbeComparesOnlyFiveBytesOfWhatItReadsBack) {
  // A write the system reports done but does not store leaves the old value.
  for (const auto& c : {std::make_pair("blanker", true), std::make_pair("Blank", false),
                       std::make_pair("blank but longer than the probe reads", false)}) {
    winsim::SetRegString(kSettings, "patch", c.first);
    winsim::LoseRegWrite(1);
    EXPECT_EQ(ProbeRegistryWritable(false), c.second) << c.first;
  }
}

TEST_F(Registry, AFailedFlagWriteDoesNotStopTheStart) {
  // Writes: user probe, machine probe, then the flag.
  winsim::FailCall("RegSetValueExA", 3, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(PrepareRegistry());
  EXPECT_FALSE(winsim::RegValueExists(kSettings, "nolmaccess"));
  EXPECT_EQ(winsim::RegString(kMachine, "patch"), "blank");
}

// ---- the finished install's entries ---------------------------------------

class Entries : public Registry {
 protected:
  void SetUp() override {
    Registry::SetUp();
    CopyState("C:\\Apps\\Quillmark");
  }
  static void CopyState(const std::string& folder) {
    std::strcpy(g_state.installFolder, folder.c_str());
    std::strcpy(g_state.mainProgramPath, (folder + "\\Quillmark.exe").c_str());
    std::strcpy(g_state.windowsDirectory, "C:\\WINDOWS");
  }
};

TEST_F(Entries, EveryValueIsWrittenWithItsExactData) {
  EXPECT_TRUE(RecordInstallerPath());
  EXPECT_TRUE(RegisterAppPath());
  EXPECT_TRUE(RegisterUninstall());
  EXPECT_EQ(winsim::RegString(kSettings, "Installed"), "C:\\Downloads\\Quil.exe");
  EXPECT_EQ(winsim::RegString(kAppPath, ""), "C:\\Apps\\Quillmark\\Quillmark.exe");
  EXPECT_EQ(winsim::RegString(kAppPath, "Path"), "C:\\Apps\\Quillmark");
  EXPECT_EQ(winsim::RegString(kMachine, "Path"), "C:\\Apps\\Quillmark");
  EXPECT_EQ(winsim::RegData(kUninstall, "DisplayName"),
            std::string("Quillmark 2003   (Remove Only)\0", 31));
  EXPECT_EQ(winsim::RegString(kUninstall, "UninstallString"), "C:\\WINDOWS\\uninst1.exe");
  EXPECT_EQ(winsim::RegValueNames(kUninstall),
            (std::vector<std::string>{"DisplayName", "UninstallString"}));
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Entries, NoMachineWideAccessTurnsTheEntriesFalseWithoutANotice) {
  winsim::DenyRegistry("HKLM", winsim::kDenyWrite);
  g_state.nolmaccess = 1;
  EXPECT_FALSE(RegisterAppPath());
  EXPECT_FALSE(RegisterUninstall());
  EXPECT_EQ(winsim::RegString(kSettings, "Path"), "C:\\Apps\\Quillmark");
  EXPECT_FALSE(winsim::RegKeyExists(kAppPath));
  EXPECT_FALSE(winsim::RegKeyExists(kUninstall));
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Entries, AFailedValueDoesNotStopTheNextOne) {
  winsim::FailCall("RegSetValueExA", 1, ERROR_ACCESS_DENIED);  // DisplayName
  EXPECT_FALSE(RegisterUninstall());
  EXPECT_FALSE(winsim::RegValueExists(kUninstall, "DisplayName"));
  EXPECT_EQ(winsim::RegString(kUninstall, "UninstallString"), "C:\\WINDOWS\\uninst1.exe");

  winsim::FailCall("RegSetValueExA", 1, ERROR_ACCESS_DENIED);  // the default value
  EXPECT_FALSE(RegisterAppPath());
  EXPECT_EQ(winsim::RegString(kAppPath, "Path"), "C:\\Apps\\Quillmark");
  EXPECT_EQ(winsim::RegString(kMachine, "Path"), "C:\\Apps\\Quillmark");
}

TEST_F(Entries, WithoutAWindowsDirectoryTheUninstallerIsNamedBare) {
  g_state.windowsDirectory[0] = '\0';
  EXPECT_TRUE(RegisterUninstall());
  EXPECT_EQ(winsim::RegString(kUninstall, "UninstallString"), "uninst1.exe");
}

TEST_F(Entries, KeysThatCannotBeOpenedAreReportedWithTheSystemsText) {
  winsim::DenyRegistry("HKCU\\Software\\Kestrel", winsim::kDenyOpen);
  g_state.nolmaccess = 1;
  EXPECT_FALSE(RecordInstallerPath());
  EXPECT_FALSE(RegisterAppPath());
  ASSERT_EQ(Captions(), (std::vector<std::string>{"ERROR 22", "ERROR 10"}));
  EXPECT_EQ(winsim::Notices()[0].text, "Access is denied.\r\n");
  // App Paths lies under the machine hive, which is still open to this user.
  EXPECT_EQ(winsim::RegString(kAppPath, "Path"), "C:\\Apps\\Quillmark");
}

TEST_F(Entries, AnInstallerPathThatCannotBeLearnedIsNotRecorded) {
  winsim::FailCall("GetModuleFileNameA", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_FALSE(RecordInstallerPath());
  EXPECT_FALSE(winsim::RegValueExists(kSettings, "Installed"));
  winsim::SetModulePath("C:\\" + std::string(530, 'd') + "\\Quil.exe");
  EXPECT_FALSE(RecordInstallerPath()) << "a cut-short path must not be recorded";
  EXPECT_FALSE(winsim::RegValueExists(kSettings, "Installed"));
  EXPECT_TRUE(winsim::Notices().empty());
}

}  // namespace
