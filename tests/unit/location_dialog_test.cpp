#include "installer/location/location_dialog.h"

#include "core/path.h"
#include "fixture.h"

namespace {

class LocationDialog : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    CopyText(g_state.installFolder, kPathSize, "C:\\Program Files\\Quillmark");
  }
  INT_PTR Show() {
    return DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_LOCATION), nullptr, LocationDialogProc, 0);
  }
  const winsim::DialogRecord& Last() { return winsim::Dialogs().back(); }
};

TEST_F(LocationDialog, ShowsTheFolderAndInstallsOnEnterOrButton) {
  winsim::Script({winsim::Enter()});
  EXPECT_EQ(Show(), 1);
  EXPECT_EQ(winsim::DialogText(Last(), IDC_FOLDER), "C:\\Program Files\\Quillmark");
  EXPECT_TRUE(Last().enabledAtOpen[3]) << "Change... enabled without a previous install";
  winsim::Script({winsim::Press(IDOK)});
  EXPECT_EQ(Show(), 1);
}

TEST_F(LocationDialog, CancelAndEscapeBothGiveTwo) {
  winsim::Script({winsim::Press(IDCANCEL), winsim::Escape()});
  EXPECT_EQ(Show(), 2);
  EXPECT_EQ(Show(), 2);
}

TEST_F(LocationDialog, ChangePutsAQuillmarkFolderInsideTheChosenOne) {
  winsim::QueueBrowse("D:\\");
  winsim::QueueBrowse("E:\\Apps");
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Press(IDC_CHANGE), winsim::Enter()});
  EXPECT_EQ(Show(), 1);
  EXPECT_EQ(winsim::DialogText(Last(), IDC_FOLDER), "E:\\Apps\\Quillmark");
  EXPECT_STREQ(g_state.installFolder, "E:\\Apps\\Quillmark");
  ASSERT_EQ(winsim::Browses().size(), 2u);
  const winsim::BrowseRecord& b = winsim::Browses()[0];
  EXPECT_EQ(b.title, "A new folder will be created inside the selected folder.");
  EXPECT_EQ(b.flags, static_cast<UINT>(BIF_RETURNONLYFSDIRS));
  EXPECT_EQ(b.owner, Last().window);
  EXPECT_TRUE(b.rootIsDesktop);
}

TEST_F(LocationDialog, ACancelledBrowserOrAFolderWithoutPathChangesNothing) {
  winsim::QueueBrowseCancel();
  winsim::QueueBrowse("");  // e.g. the Control Panel: no file-system path
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Press(IDC_CHANGE), winsim::Escape()});
  EXPECT_EQ(Show(), 2);
  EXPECT_STREQ(g_state.installFolder, "C:\\Program Files\\Quillmark");
  EXPECT_EQ(winsim::DialogText(Last(), IDC_FOLDER), "C:\\Program Files\\Quillmark");
}

TEST_F(LocationDialog, ChangeIsDisabledAfterAPreviousInstall) {
  g_state.previousInstallFound = 1;
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter()});
  EXPECT_EQ(Show(), 1);
  EXPECT_FALSE(Last().enabledAtOpen[3]);
  EXPECT_EQ(Last().ignoredPresses, std::vector<int>{IDC_CHANGE});
  EXPECT_TRUE(winsim::Browses().empty());
}

TEST_F(LocationDialog, ChangeDoesNothingWithoutTheShellAllocator) {
  winsim::FailCall("SHGetMalloc", 1, 0);
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter()});
  EXPECT_EQ(Show(), 1);
  EXPECT_TRUE(winsim::Browses().empty());
}

TEST_F(LocationDialog, ProgressDialogSharesTheProcedureAndChangesNothing) {
  HWND progress = CreateDialogParamA(nullptr, MAKEINTRESOURCEA(IDD_PROGRESS), nullptr,
                                     LocationDialogProc, 0);
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(Last().textsAtOpen, std::vector<std::string>{""});
  EXPECT_TRUE(DestroyWindow(progress));
}

TEST_F(LocationDialog, AMissingTemplateGivesMinusOne) {
  winsim::RemoveDialog(IDD_LOCATION);
  EXPECT_EQ(Show(), -1);
}

}  // namespace
