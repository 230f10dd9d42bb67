// Under a double-byte ANSI code page (932, Japanese), the second byte of a
// character may be 0x5C, a backslash's: 表 is 0x95 0x5C. Every place that
// looks at a path's last character, or for a backslash in it, must see the
// character; in a single-byte code page the result stays the byte-wise one.
#include <cstring>
#include <string>

#include "core/path.h"
#include "core/system_folders.h"
#include "fixture.h"
#include "installer/integration/integration.h"
#include "installer/integration/registry.h"
#include "installer/location/location.h"
#include "installer/location/location_dialog.h"

namespace {

const std::string kHyou = "\x95\x5C";                                    // 表
const std::string kScripts = "C:\\Programme\\\x91\xE4\x96\x7B" + kHyou;  // ...\台本表
const std::string kList = "C:\\Programme\\\x88\xEA\x97\x97" + kHyou;     // ...\一覧表

class CodePage : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::SetAnsiCodePage(932);
    winsim::MakeFolders("C:\\Programme");
  }
};

TEST_F(CodePage, TheTextHelpersSeeCharactersAndSingleBytePagesStayByteWise) {
  struct Case {
    UINT codePage;
    std::string joined;      // PathJoin(一覧表, "Quillmark")
    std::string dropped;     // DropTrailingBackslash(一覧表), and the Windows folder 一覧表
    bool sameTrailCase;      // SameText of two characters whose second bytes are 's' and 'S'

  } cases[] = {
      {932, kList + "\\Quillmark", kList, false},
      // The same bytes in Windows-1252: the last one is a backslash.
      {1252, kList + "Quillmark", kList.substr(0, kList.size() - 1), true},
  };
  for (const Case& c : cases) {
    winsim::SetAnsiCodePage(c.codePage);
    char out[kPathSize];
    ASSERT_TRUE(PathJoin(kList.c_str(), "Quillmark", out, sizeof out));
    EXPECT_EQ(out, c.joined) << c.codePage;
    CopyText(out, sizeof out, kList.c_str());
    DropTrailingBackslash(out);
    EXPECT_EQ(out, c.dropped) << c.codePage;
    EXPECT_EQ(SameText("\x83\x73", "\x83\x53"), c.sameTrailCase) << c.codePage;
    EXPECT_TRUE(SameText(("c:\\a\\" + kHyou).c_str(), ("C:\\A\\" + kHyou).c_str()));
    EXPECT_EQ(LastBackslash(kList.c_str()), kList.c_str() + (c.codePage == 932 ? 12 : 18));
    winsim::SetWindowsDirectory(kList);
    ASSERT_TRUE(FetchWindowsDirectory(out));
    EXPECT_EQ(out, c.dropped) << c.codePage;
    // A lead byte at the very end is a character of its own, and the walk
    // stops at the terminator after it.
    EXPECT_TRUE(EndsWithBackslash("C:\\a\\"));
    EXPECT_FALSE(EndsWithBackslash("C:\\a\x95"));
  }
}

TEST_F(CodePage, TheValidatorKeepsAFolderEndingInTrailByteFiveC) {
  char folder[kPathSize];
  for (const std::string& given : {kScripts, kScripts + "\\\\"}) {
    CopyText(folder, sizeof folder, given.c_str());
    EXPECT_TRUE(ValidateInstallFolder(folder, true)) << given;
    EXPECT_EQ(folder, kScripts) << "only real backslashes are trimmed";
    EXPECT_TRUE(winsim::IsFolder(kScripts));
    EXPECT_EQ(winsim::CurrentDirectory(), kScripts);
  }
  EXPECT_EQ(winsim::FolderEntries("C:\\Programme").size(), 1u) << "no sibling was made";
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(CodePage, ProgramFilesAndItsProposalKeepTheirLastCharacter) {
  winsim::SetSpecialFolder(CSIDL_PROGRAM_FILES, kList);
  FindProgramFiles();
  EXPECT_EQ(g_state.programFilesFolder, kList);
  char proposed[kPathSize] = {};
  ComposeKeyPaths();
  EXPECT_FALSE(ProposeInstallFolder(proposed));
  EXPECT_EQ(proposed, kList + "\\Quillmark");
}

TEST_F(CodePage, TheQuickLaunchFallbackGoesBelowTheWholeFolder) {
  const std::string appData = "C:\\Users\\Ann\\\x83\x5C\x83\x74" + kHyou;  // ソフ表
  const std::string quickLaunch = appData + "\\Microsoft\\Internet Explorer\\Quick Launch";
  winsim::MakeFolders(quickLaunch);
  winsim::SetSpecialFolder(CSIDL_LOCAL_APPDATA, appData);
  char link[kPathSize];
  ASSERT_TRUE(ShortcutPath(kQuickLaunchShortcut, link));
  EXPECT_EQ(link, quickLaunch + "\\Quillmark 2003.lnk");
}

TEST_F(CodePage, AFolderChosenInTheBrowserGetsItsOwnQuillmarkFolder) {
  winsim::QueueBrowse(kList);
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter()});
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_LOCATION), nullptr, LocationDialogProc, 0),
            1);
  EXPECT_EQ(g_state.installFolder, kList + "\\Quillmark");
}

}  // namespace
