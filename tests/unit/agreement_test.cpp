#include "installer/agreement/agreement_dialog.h"

#include "fixture.h"

namespace {

class Agreement : public MachineTest {
 protected:
  INT_PTR Show() {
    return DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_AGREEMENT), nullptr, AgreementDialog, 0);
  }
  const winsim::DialogRecord& Last() { return winsim::Dialogs().back(); }
};

const char kText[] = "Quillmark 2003\r\nLICENSE AGREEMENT\r\nRead this carefully.\r\n";

TEST_F(Agreement, ShowsTheWholeTextAndAcceptsOnEnter) {
  winsim::SetResource(159, kText);
  winsim::Script({winsim::Enter()});
  EXPECT_EQ(Show(), 1);
  EXPECT_EQ(winsim::DialogText(Last(), IDC_AGREEMENT_TEXT), kText);
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Agreement, DeclineAndEscapeGiveTwo) {
  winsim::SetResource(159, kText);
  winsim::Script({winsim::Press(IDCANCEL), winsim::Escape()});
  EXPECT_EQ(Show(), 2);
  EXPECT_EQ(Show(), 2);
}

TEST_F(Agreement, ElevenBytesAreEnoughTenAreDamaged) {
  winsim::SetResource(159, "Quillmark 2");
  winsim::Script({winsim::Enter()});
  EXPECT_EQ(Show(), 1);
  winsim::SetResource(159, "Quillmark ");
  EXPECT_EQ(Show(), 2);  // ends before the user could act
  EXPECT_TRUE(OnlyNotice("ERROR 70", "Quil.exe installer file is damaged. Installation aborted."));
}

TEST_F(Agreement, TheFirstNineBytesMustBeTheProductNameExactly) {
  for (const char* text : {"quillmark 2003\r\n", " Quillmark 2003\r\n", "Quillmarc 2003\r\n"}) {
    winsim::SetResource(159, text);
    EXPECT_EQ(Show(), 2) << text;
  }
  EXPECT_EQ(Captions(), std::vector<std::string>(3, "ERROR 70"));
}

TEST_F(Agreement, AMissingTextEndsTheDialogWithOnlyTheLookupNotice) {
  winsim::SetResource(186, "manifest");
  EXPECT_EQ(Show(), 2);
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 60"});
}

TEST_F(Agreement, AnEmptyTextEndsTheDialogQuietly) {
  winsim::SetResource(159, "");
  EXPECT_EQ(Show(), 2);
  EXPECT_TRUE(winsim::Notices().empty());
}

}  // namespace
