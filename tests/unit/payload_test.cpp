#include "installer/payload/payload.h"

#include <cstring>
#include <set>

#include "core/path.h"
#include "fixture.h"

namespace {

class Payload : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::MakeFolders("C:\\Program Files\\Quillmark");
    CopyText(g_state.installFolder, kPathSize, "C:\\Program Files\\Quillmark");
    CopyText(g_state.windowsDirectory, kPathSize, "C:\\WINDOWS");
    CopyText(g_state.tempFolder, kPathSize, "C:\\TEMP\\");
  }
  // Script-like text: compressible as real documents are.
  static std::string Text(size_t n, unsigned seed = 7) {
    const char* words[] = {"INT. ", "OFFICE ", "- DAY\r\n", "She ", "turns ", "away. ", "      "};
    std::string s;
    while (s.size() < n) {
      seed = seed * 1103515245u + 12345u;
      s += words[(seed >> 8) % 7];
    }
    return s.substr(0, n);
  }
};

TEST(PayloadTable, HoldsThe38RowsInWritingOrder) {
  EXPECT_EQ(kPayloadTable[0].resourceId, 186);
  EXPECT_STREQ(kPayloadTable[0].name, "quillmark.exe.manifest");
  EXPECT_STREQ(kPayloadTable[5].name, "agreement.txt");
  EXPECT_EQ(kPayloadTable[5].resourceId, kAgreementResource);
  EXPECT_EQ(kPayloadTable[36].folder, kWindowsDirectory);
  EXPECT_STREQ(kPayloadTable[36].name, "wmon03.exe");
  EXPECT_EQ(kPayloadTable[37].folder, kUninstallerFolder);
  EXPECT_EQ(kPayloadTable[37].resourceId, 119);
  std::set<WORD> ids;
  int readOnly = 0, compressed = 0;
  for (const PayloadEntry& row : kPayloadTable) {
    EXPECT_TRUE(ids.insert(row.resourceId).second) << row.resourceId;
    EXPECT_NE(row.resourceId, kMainProgramResource);
    EXPECT_FALSE(row.readOnly && row.storage == kCompressed) << row.name;
    readOnly += row.readOnly;
    compressed += row.storage == kCompressed;
  }
  EXPECT_EQ(readOnly, 23);
  EXPECT_EQ(compressed, 11);
}

TEST_F(Payload, MissingResourceShowsSixtyWithTheSystemText) {
  winsim::SetResource(111, "x");
  DWORD size = 99;
  EXPECT_EQ(FindPayloadResource(112, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(OnlyNotice("ERROR 60",
                         "The specified resource name cannot be found in the image file.\r\n"));
}

TEST_F(Payload, EmptyResourceIsSkippedSilentlyWhenTheSystemReportsNoError) {
  winsim::SetResource(163, "");
  // A stale error from an earlier successful call must not surface as "61".
  SetLastError(ERROR_ALREADY_EXISTS);
  DWORD size = 99;
  EXPECT_EQ(FindPayloadResource(163, &size), nullptr);
  EXPECT_EQ(size, 0u);
  EXPECT_TRUE(winsim::Notices().empty());
  EXPECT_EQ(WriteResourceFile(163, g_state.installFolder, "hints.txt", false), 0);
  EXPECT_FALSE(winsim::Exists("C:\\Program Files\\Quillmark\\hints.txt"));
}

TEST_F(Payload, UnloadableResourceShowsSixtyTwo) {
  winsim::SetResource(117, "thesaurus");
  winsim::FailCall("LoadResource", 1, ERROR_NOT_ENOUGH_MEMORY);
  DWORD size = 0;
  EXPECT_EQ(FindPayloadResource(117, &size), nullptr);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 62"});
}

TEST_F(Payload, RawRowIsWrittenByteForByte) {
  std::string bytes = Text(70000);
  bytes[5] = '\0';  // binary content survives
  winsim::SetResource(117, bytes);
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[12], ""), 1);
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\syn.bin"), bytes);
  EXPECT_EQ(winsim::Attributes("C:\\Program Files\\Quillmark\\syn.bin") & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(Payload, ReadOnlyRowReplacesAReadOnlyLeftoverAndComesOutReadOnly) {
  const char* path = "C:\\Program Files\\Quillmark\\Scheme1.scm";
  winsim::PutFile(path, "old scheme, longer than the new one", FILE_ATTRIBUTE_READONLY);
  winsim::SetResource(125, "new scheme");
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[13], ""), 1);
  EXPECT_EQ(winsim::FileData(path), "new scheme");
  EXPECT_NE(winsim::Attributes(path) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(Payload, MissingResourceLeavesTheOldFileAndTheNextRowIsWritten) {
  winsim::SetResource(121, "scheme two");
  winsim::PutFile("C:\\Program Files\\Quillmark\\Scheme1.scm", "kept");
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[13], ""), 0);
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[14], ""), 1);
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\Scheme1.scm"), "kept");
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\Scheme2.scm"), "scheme two");
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 60"});
}

TEST_F(Payload, AFileThatCannotBeCreatedFailsWithoutANotice) {
  winsim::SetResource(165, "contents");
  EXPECT_EQ(WriteResourceFile(165, "C:\\No\\Such\\Folder", "Quillmark.cnt", false), 0);
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Payload, AnOverlongPathIsRefusedNotCutShort) {
  winsim::SetResource(165, "contents");
  std::string deep = "C:\\" + std::string(505, 'd');
  winsim::MakeFolders(deep);
  // deep + "\Quillmark.cnt" needs 523 bytes; a cut path would name "Quillmark.c".
  EXPECT_EQ(WriteResourceFile(165, deep.c_str(), "Quillmark.cnt", false), 0);
  EXPECT_TRUE(winsim::FolderEntries(deep).empty());
}

TEST_F(Payload, CompressedRowExpandsExactlyAndLeavesNoStagedFile) {
  std::string plain = Text(200000);
  winsim::SetResource(111, Packed(plain));
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[1], ""), 1);
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\Sample1.scp"), plain);
  EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Payload, WindowsRowAndUninstallerFolderAreResolved) {
  winsim::SetResource(181, Packed("monitor program"));
  winsim::SetResource(119, Packed("uninstaller"));
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[36], ""), 1);
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[37], g_state.installFolder), 1);
  EXPECT_EQ(winsim::FileData("C:\\WINDOWS\\wmon03.exe"), "monitor program");
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\uninst1.exe"), "uninstaller");
}

TEST_F(Payload, CompressedRowOverAReadOnlyTargetFailsQuietlyAndCleansUp) {
  const char* path = "C:\\Program Files\\Quillmark\\hints.txt";
  winsim::PutFile(path, "old hints", FILE_ATTRIBUTE_READONLY);
  winsim::SetResource(163, Packed("new hints"));
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[4], ""), 0);
  EXPECT_EQ(winsim::FileData(path), "old hints");
  EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
  EXPECT_TRUE(winsim::Notices().empty());
}

TEST_F(Payload, ExpanderRefusingTheSourceShowsDC5) {
  std::string bad = Packed("data");
  bad[8] = 'B';  // an algorithm the expander does not know
  winsim::SetResource(163, bad);
  EXPECT_EQ(WriteCompressedResource(163, g_state.installFolder, "hints.txt"), 0);
  EXPECT_TRUE(OnlyNotice("ERROR DC5", "Unable to to decompress files"));
  EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
  // created before the expander refused, and then deleted: an empty hints.txt
  // would pass for a whole one
  EXPECT_FALSE(winsim::Exists("C:\\Program Files\\Quillmark\\hints.txt"));
}

TEST_F(Payload, ExpanderRefusingTheTargetShowsDC6) {
  winsim::SetResource(163, Packed("data"));
  winsim::FailCall("LZInit", 1, 0);
  EXPECT_EQ(WriteCompressedResource(163, g_state.installFolder, "hints.txt"), 0);
  EXPECT_TRUE(OnlyNotice("ERROR DC6", "Unable to decompress files"));
}

// A row that fails once its target has been created leaves no file behind
// that could pass for a whole one: not a truncated one, not an empty one, and
// not the earlier install's copy that the creation had already emptied.
TEST_F(Payload, ARowThatFailsPartWayLeavesNoPartialFile) {
  struct Case {
    const char* what;
    int row;
    void (*arrange)();
    std::vector<std::string> notices;
  } cases[] = {
      {"a short write of a raw row", 11, [] { winsim::ShortWrite(1, 4096); }, {}},
      {"a failed write of a raw row", 11,
       [] { winsim::FailCall("WriteFile", 1, ERROR_DISK_FULL); }, {}},
      {"a failed write of a read-only row", 13,
       [] { winsim::FailCall("WriteFile", 1, ERROR_DISK_FULL); }, {}},
      {"a short write of a read-only row", 13, [] { winsim::ShortWrite(1, 10); }, {}},
      // WriteFile 1 stages data.tmp; WriteFile 2 is the expander's copy.
      {"a failed expansion copy", 1, [] { winsim::FailCall("WriteFile", 2, ERROR_DISK_FULL); }, {}},
      {"a short expansion copy", 1, [] { winsim::ShortWrite(2, 1000); }, {}},
      // CreateFileA 1 stages data.tmp, 2 creates the target, 3 reopens data.tmp.
      {"a staged file that cannot be reopened", 1,
       [] { winsim::FailCall("CreateFileA", 3, ERROR_SHARING_VIOLATION); }, {}},
      {"the expander refusing the target", 1, [] { winsim::FailCall("LZInit", 1, 0); },
       {"ERROR DC6"}},
      {"the expander refusing the source", 1,
       [] {
         std::string bad = Packed(Text(3000));
         bad[8] = 'B';
         winsim::SetResource(111, bad);
       },
       {"ERROR DC5"}},
  };
  for (const Case& c : cases) {
    Fresh();
    const PayloadEntry& row = kPayloadTable[c.row];
    std::string plain = Text(7000);
    winsim::SetResource(row.resourceId, row.storage == kRaw ? plain : Packed(plain));
    std::string path = std::string("C:\\Program Files\\Quillmark\\") + row.name;
    winsim::PutFile(path, "an earlier install's whole copy",
                    row.readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_ARCHIVE);
    c.arrange();
    EXPECT_EQ(WritePayloadEntry(row, ""), 0) << c.what;
    EXPECT_FALSE(winsim::Exists(path)) << c.what << ": " << winsim::FileData(path).size() << " bytes";
    EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp")) << c.what;
    EXPECT_EQ(Captions(), c.notices) << c.what;
  }
}

// Whatever made the row fail before its target was created leaves the file
// there as it was.
TEST_F(Payload, ARowThatCannotCreateItsFileLeavesTheOldOne) {
  const char* path = "C:\\Program Files\\Quillmark\\Quillmark.cnt";
  winsim::PutFile(path, "old contents");
  winsim::HoldFile(path, 60000);
  winsim::SetResource(165, "new contents");
  EXPECT_EQ(WritePayloadEntry(kPayloadTable[11], ""), 0);
  EXPECT_EQ(winsim::FileData(path), "old contents");
}

TEST_F(Payload, StagingFailureLeavesTargetUntouched) {
  winsim::SetResource(163, Packed("data"));
  winsim::PutFile("C:\\Program Files\\Quillmark\\hints.txt", "old");
  winsim::FailCall("CreateFileA", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(WriteCompressedResource(163, g_state.installFolder, "hints.txt"), 0);
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\hints.txt"), "old");
}

TEST_F(Payload, StagingAtTheInstallDriveRootWhenThereIsNoTempFolder) {
  CopyText(g_state.tempFolder, kPathSize, "C:");
  winsim::SetResource(170, Packed("{\\rtf1 guide}"));
  EXPECT_EQ(WriteCompressedResource(170, g_state.installFolder, "Guide1.rtf"), 1);
  EXPECT_EQ(winsim::FileData("C:\\Program Files\\Quillmark\\Guide1.rtf"), "{\\rtf1 guide}");
  EXPECT_FALSE(winsim::Exists("C:\\data.tmp"));
}

TEST_F(Payload, DeleteWithRetryGivesUpAfterTenAttemptsAndHalfASecond) {
  DeleteWithRetry("C:\\TEMP\\nothing.tmp");
  EXPECT_EQ(winsim::Pauses(), std::vector<DWORD>(10, 50));
  EXPECT_EQ(winsim::Now(), 500u);
}

TEST_F(Payload, DeleteWithRetryWaitsOutABriefHoldAndClearsReadOnly) {
  winsim::PutFile("C:\\TEMP\\held.tmp", "x", FILE_ATTRIBUTE_READONLY);
  winsim::HoldFile("C:\\TEMP\\held.tmp", 120);
  DeleteWithRetry("C:\\TEMP\\held.tmp");
  EXPECT_FALSE(winsim::Exists("C:\\TEMP\\held.tmp"));
  EXPECT_EQ(winsim::Pauses(), std::vector<DWORD>(3, 50));
}

TEST_F(Payload, DeleteInFolderDoublesTheSeparatorAndStillNamesTheFile) {
  winsim::PutFile("C:\\TEMP\\data.tmp", "x");
  DeleteInFolder("C:\\TEMP\\", "data.tmp");
  EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
  EXPECT_TRUE(winsim::Pauses().empty());
}

}  // namespace
