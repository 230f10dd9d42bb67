#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/path.h"

namespace {

std::string Join(const char* folder, const char* name) {
  char out[520];
  EXPECT_TRUE(PathJoin(folder, name, out, sizeof out));
  return out;
}

TEST(PathJoin, AddsExactlyOneSeparatorWhereNeeded) {
  EXPECT_EQ(Join("C:\\a", "b"), "C:\\a\\b");
  EXPECT_EQ(Join("C:\\a\\", "b"), "C:\\a\\b");
  EXPECT_EQ(Join("", "b"), "b");
  EXPECT_EQ(Join("C:", "b"), "C:\\b");
}

TEST(PathJoin, JoinsOddInputsUnchanged) {
  EXPECT_EQ(Join("C:\\a\\\\", "b"), "C:\\a\\\\b");
  EXPECT_EQ(Join("C:\\a", "\\b"), "C:\\a\\\\b");
}

TEST(PathJoin, RefusesAResultThatDoesNotFitInsteadOfCuttingIt) {
  std::string folder(510, 'f');
  char out[520];
  std::memset(out, 'x', sizeof out);
  // 510 + 1 + 8 = 519 characters and the terminator: exactly fits.
  EXPECT_TRUE(PathJoin(folder.c_str(), "data.tmp", out, sizeof out));
  EXPECT_EQ(std::string(out).size(), 519u);
  // One more character would need 521 bytes: refused, and nothing half-made.
  EXPECT_FALSE(PathJoin(folder.c_str(), "data.tmp1", out, sizeof out));
  EXPECT_STREQ(out, "");
  std::string huge(600, 'g');
  EXPECT_FALSE(PathJoin(huge.c_str(), "b", out, sizeof out));
  EXPECT_STREQ(out, "");
}

TEST(BoundedText, CopyAndAppendRefuseWholeWhenTooLong) {
  char small[6];
  EXPECT_TRUE(CopyText(small, sizeof small, "abcde"));
  EXPECT_FALSE(AppendText(small, sizeof small, "f"));
  EXPECT_STREQ(small, "");
  EXPECT_FALSE(CopyText(small, sizeof small, "abcdef"));
  EXPECT_STREQ(small, "");
  EXPECT_TRUE(CopyText(small, sizeof small, "ab"));
  EXPECT_TRUE(AppendText(small, sizeof small, "cde"));
  EXPECT_STREQ(small, "abcde");
}

}  // namespace

#include "installer/state.h"

namespace {

// The program never calls ResetInstallerState: the fixed names must be there
// from load, or the proposal, the keys and the launch lose their names.
TEST(InstallerState, CarriesItsFixedNamesFromLoad) {
  EXPECT_STREQ(g_state.mainProgramName, "Quillmark.exe");
  EXPECT_STREQ(g_state.productName, "Quillmark");
  EXPECT_STREQ(g_state.folderSuffix, "\\Quillmark");
  EXPECT_STREQ(g_state.uninstallerName, "uninst1.exe");
  EXPECT_EQ(g_state.installFolder[0], '\0');
}

}  // namespace
