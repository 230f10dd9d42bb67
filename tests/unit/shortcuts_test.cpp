#include <string>
#include <vector>

#include "core/path.h"
#include "fixture.h"
#include "installer/integration/integration.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Quillmark";
const char kTarget[] = "C:\\Program Files\\Quillmark\\Quillmark.exe";
const char kCommonStartMenu[] = "C:\\ProgramData\\Start Menu";
const char kCommonDesktop[] = "C:\\Users\\Public\\Desktop";
const char kMapGroups[] = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\GrpConv\\MapGroups";
const char kLink[] = "\\Quillmark 2003.lnk";

std::string LinkIn(const std::string& folder) { return folder + kLink; }

class Shortcuts : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    CopyText(g_state.installFolder, kPathSize, kFolder);
    CopyText(g_state.mainProgramPath, kPathSize, kTarget);
    GiveUserShellFolders();
    for (const char* f : {kFolder, kCommonStartMenu, kCommonDesktop}) winsim::MakeFolders(f);
    winsim::SetSpecialFolder(CSIDL_COMMON_STARTMENU, kCommonStartMenu);
    winsim::SetSpecialFolder(CSIDL_COMMON_DESKTOPDIRECTORY, kCommonDesktop);
  }
  // The paths the run tried to save links under, in order.
  static std::vector<std::string> Attempts() {
    std::vector<std::string> paths;
    for (const winsim::LinkSave& s : winsim::LinkSaves()) paths.push_back(s.path);
    return paths;
  }
  static bool Uninitialized() { return winsim::JournalIndex("CoUninitialize") != -1; }
};

TEST_F(Shortcuts, EachLinkPointsAtTheProgramWithItsIconDescriptionAndFolder) {
  CreateShortcuts();
  std::vector<std::string> links = {LinkIn(kStartMenu), LinkIn(kDesktop), LinkIn(kQuickLaunch)};
  EXPECT_EQ(Attempts(), links);
  for (const std::string& path : links) {
    winsim::ShellLinkFile link;
    ASSERT_TRUE(winsim::ReadShellLink(path, &link)) << path;
    EXPECT_EQ(link.target, kTarget);
    EXPECT_EQ(link.iconPath, kTarget);
    EXPECT_EQ(link.iconIndex, 0);
    EXPECT_EQ(link.description, "Opens your Quillmark screenwriting application.");
    EXPECT_EQ(link.workingDirectory, kFolder);
  }
  EXPECT_LT(winsim::JournalIndex("CoInitialize"), winsim::JournalIndex("CoUninitialize"));
  EXPECT_EQ(winsim::LibraryReferences("OLE32.DLL"), 0);
  EXPECT_FALSE(winsim::RegKeyExists(kMapGroups)) << "the key is only ever opened";
}

TEST_F(Shortcuts, AProfileWithoutItsOwnFoldersGetsTheAllUsersOnes) {
  winsim::RemoveSpecialFolder(CSIDL_STARTMENU);
  winsim::SetSpecialFolder(CSIDL_DESKTOPDIRECTORY, "");  // no file-system path
  CreateShortcuts();
  EXPECT_EQ(Attempts(), (std::vector<std::string>{LinkIn(kCommonStartMenu), LinkIn(kCommonDesktop),
                                                  LinkIn(kQuickLaunch)}));

  Fresh();
  winsim::RemoveSpecialFolder(CSIDL_STARTMENU);
  winsim::RemoveSpecialFolder(CSIDL_COMMON_STARTMENU);
  CreateShortcuts();
  EXPECT_EQ(Attempts(), (std::vector<std::string>{LinkIn(kDesktop), LinkIn(kQuickLaunch)}));
}

TEST_F(Shortcuts, WithoutACOMOfItsOwnNoLinkIsMade) {
  struct Case {
    const char* what;
    void (*arrange)();
    int referencesLeft;
  } cases[] = {
      {"OLE32.DLL missing", [] { winsim::RemoveLibrary("ole32"); }, 0},
      {"no CoInitialize", [] { winsim::RemoveExport("OLE32.DLL", "CoInitialize"); }, 0},
      {"no CoUninitialize", [] { winsim::RemoveExport("OLE32.DLL", "CoUninitialize"); }, 0},
      {"no CoCreateInstance", [] { winsim::RemoveExport("OLE32.DLL", "CoCreateInstance"); }, 0},
      // The step ends at once: COM is not uninitialised, nor the library freed.
      {"COM already initialised", [] { winsim::ComAlreadyInitialized(); }, 1},
      {"CoInitialize fails", [] { winsim::FailCall("CoInitialize", 1, ERROR_NOT_ENOUGH_MEMORY); },
       1},
  };
  for (const Case& c : cases) {
    Fresh();
    c.arrange();
    CreateShortcuts();
    EXPECT_TRUE(Attempts().empty()) << c.what;
    EXPECT_FALSE(Uninitialized()) << c.what;
    EXPECT_EQ(winsim::LibraryReferences("OLE32.DLL"), c.referencesLeft) << c.what;
  }
}

TEST_F(Shortcuts, AQuickLaunchValueOfFiveTo487CharactersIsUsedAsItIs) {
  auto value = [](size_t length) { return "C:\\" + std::string(length - 3, 'q'); };
  struct Case {
    std::string value;
    std::string expected;  // the Quick Launch link tried
  } cases[] = {
      {value(4), LinkIn(kQuickLaunch)},
      {value(5), LinkIn(value(5))},
      {value(487), LinkIn(value(487))},
      {value(488), LinkIn(kQuickLaunch)},
      {value(600), LinkIn(kQuickLaunch)},  // longer than the 520-byte buffer
      {"D:\\Quick\\", "D:\\Quick\\\\Quillmark 2003.lnk"},
  };
  for (const Case& c : cases) {
    Fresh();
    winsim::SetRegString(kMapGroups, "Quick Launch", c.value);
    CreateShortcuts();
    ASSERT_EQ(Attempts().size(), 3u) << c.value.size();
    EXPECT_EQ(Attempts()[2], c.expected) << c.value.size();
  }
}

TEST_F(Shortcuts, TheFallbackLosesOneTrailingBackslashAndNeedsNineCharacters) {
  const std::string below = "\\Microsoft\\Internet Explorer\\Quick Launch";
  struct Case {
    const char* localAppData;
    std::string expected;  // "" for no Quick Launch link
  } cases[] = {
      {"C:\\Users\\", LinkIn("C:\\Users" + below)},
      {"C:\\Users\\\\", LinkIn("C:\\Users\\" + below)},
      {"C:\\AppDat", LinkIn("C:\\AppDat" + below)},
      {"C:\\Data\\", ""},  // eight characters
      {"C:\\Local", ""},   // eight too
  };
  for (const Case& c : cases) {
    Fresh();
    winsim::SetSpecialFolder(CSIDL_LOCAL_APPDATA, c.localAppData);
    CreateShortcuts();
    std::vector<std::string> expected = {LinkIn(kStartMenu), LinkIn(kDesktop)};
    if (!c.expected.empty()) expected.push_back(c.expected);
    EXPECT_EQ(Attempts(), expected) << c.localAppData;
  }
}

TEST_F(Shortcuts, AFailedLinkDoesNotStopTheNextAndNoInterfaceIsLeft) {
  struct Case {
    const char* call;
    std::vector<bool> saved;  // start menu, desktop, Quick Launch
  } cases[] = {
      {"CoCreateInstance", {false, true, true}},    {"QueryInterface", {false, true, true}},
      {"MultiByteToWideChar", {false, true, true}}, {"SetPath", {true, true, true}},
      {"CreateFileA", {false, true, true}},         {"WriteFile", {false, true, true}},
  };
  for (const Case& c : cases) {
    Fresh();
    winsim::FailCall(c.call, 1, ERROR_ACCESS_DENIED);
    CreateShortcuts();
    std::vector<bool> saved;
    for (const char* f : {kStartMenu, kDesktop, kQuickLaunch}) saved.push_back(winsim::Exists(LinkIn(f)));
    EXPECT_EQ(saved, c.saved) << c.call;
    EXPECT_TRUE(Uninitialized()) << c.call;
    EXPECT_EQ(winsim::LibraryReferences("OLE32.DLL"), 0) << c.call;
  }
}

TEST_F(Shortcuts, AMissingFolderFailsItsSaveAndIsNeverMade) {
  winsim::SetSpecialFolder(CSIDL_STARTMENU, "C:\\Users\\Ann\\Gone");
  winsim::SetSpecialFolder(CSIDL_LOCAL_APPDATA, "C:\\Users\\Bob\\AppData\\Local");
  CreateShortcuts();
  const std::vector<winsim::LinkSave>& saves = winsim::LinkSaves();
  ASSERT_EQ(saves.size(), 3u);
  EXPECT_EQ(saves[0].result, static_cast<HRESULT>(0x80070003));
  EXPECT_EQ(saves[1].result, S_OK);
  EXPECT_EQ(saves[2].result, static_cast<HRESULT>(0x80070003));
  EXPECT_FALSE(winsim::Exists("C:\\Users\\Ann\\Gone"));
  EXPECT_FALSE(winsim::Exists("C:\\Users\\Bob\\AppData\\Local\\Microsoft"));
}

TEST_F(Shortcuts, ARerunOverwritesEachLinkInPlace) {
  CreateShortcuts();
  CopyText(g_state.installFolder, kPathSize, "D:\\Apps\\Quillmark");
  CopyText(g_state.mainProgramPath, kPathSize, "D:\\Apps\\Quillmark\\Quillmark.exe");
  CreateShortcuts();
  for (const char* folder : {kStartMenu, kDesktop, kQuickLaunch}) {
    EXPECT_EQ(winsim::FolderEntries(folder), std::vector<std::string>{"Quillmark 2003.lnk"});
    winsim::ShellLinkFile link;
    ASSERT_TRUE(winsim::ReadShellLink(LinkIn(folder), &link));
    EXPECT_EQ(link.target, "D:\\Apps\\Quillmark\\Quillmark.exe");
    EXPECT_EQ(link.workingDirectory, "D:\\Apps\\Quillmark");
  }
}

}  // namespace
