#include "installer/notices.h"

#include "fixture.h"

namespace {

using Notices = MachineTest;

TEST_F(Notices, ErrorNoticeShowsCodeInCaptionWithErrorIconAndNoOwner) {
  ErrorNotice("Invalid folder", "15");
  ErrorNotice("Unable to to decompress files", "DC5");
  ASSERT_EQ(winsim::Notices().size(), 2u);
  const winsim::Notice& n = winsim::Notices()[0];
  EXPECT_EQ(n.caption, "ERROR 15");
  EXPECT_EQ(n.text, "Invalid folder");
  EXPECT_EQ(n.type, static_cast<UINT>(MB_OK | MB_ICONHAND));
  EXPECT_EQ(n.owner, nullptr);
  EXPECT_EQ(winsim::Notices()[1].caption, "ERROR DC5");
}

TEST_F(Notices, SystemErrorNoticeShowsTheSystemTextAndFreesIt) {
  SystemErrorNotice(ERROR_ACCESS_DENIED, "10");
  EXPECT_TRUE(OnlyNotice("ERROR 10", "Access is denied.\r\n"));
  // the fixture checks the text went back through LocalFree
}

TEST_F(Notices, SystemErrorNoticeOfZeroShowsNothing) {
  SystemErrorNotice(0, "22");
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Notices, AnErrorWithoutSystemTextStillShowsItsCaption) {
  SystemErrorNotice(0x2468ACE, "34");
  EXPECT_TRUE(OnlyNotice("ERROR 34", ""));
}

}  // namespace
