#include "uninstaller/uninstall.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"
#include "installer/install.h"
#include "installer/payload/payload.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Quillmark";
const char kMain[] = "C:\\Program Files\\Quillmark\\Quillmark.exe";
const char kWindowsCopy[] = "C:\\WINDOWS\\uninst1.exe";
const char kFolderCopy[] = "C:\\Program Files\\Quillmark\\uninst1.exe";
const char kLink[] = "\\Quillmark 2003.lnk";
const char kSettings[] = "HKCU\\Software\\Kestrel\\Quillmark\\Settings";
const char kMachine[] = "HKLM\\SOFTWARE\\Kestrel";
const char kUninstallEntry[] =
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmark";
const char kAppPathsEntry[] =
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillmark.exe";
const char kRemoved[] = "Quillmark 2003 was removed from your computer.";

// The first line in which two records of the machine differ, or "".
std::string FirstDifference(const std::vector<std::string>& expected,
                            const std::vector<std::string>& actual) {
  for (const std::string& e : expected)
    if (std::find(actual.begin(), actual.end(), e) == actual.end()) return "missing: " + e;
  for (const std::string& a : actual)
    if (std::find(expected.begin(), expected.end(), a) == expected.end()) return "left: " + a;
  return "";
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class Uninstall : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    GiveUserShellFolders();
    // What a machine holds before any install: neighbours the uninstaller
    // must leave where they are.
    winsim::SetRegString("HKCU\\Software\\Other", "x", "y");
    winsim::SetRegString("HKLM\\SOFTWARE\\Other", "x", "y");
    winsim::SetRegString(
        "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\wordpad.exe", "",
        "C:\\wordpad.exe");
    winsim::SetRegString("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Other",
                         "DisplayName", "Other");
    for (const PayloadEntry& row : kPayloadTable) {
      std::string content = std::string("content of ") + row.name + "\r\n";
      winsim::SetResource(row.resourceId, row.storage == kRaw ? content : Packed(content));
    }
    winsim::SetResource(kAgreementResource, "Quillmark 2003\r\nAgreement.\r\n");
    winsim::SetResource(kMainProgramResource, Packed("MZ the main program"));
    before_ = Machine();
  }

  // A real install by the installer; the program it starts is closed again
  // unless `keepRunning`.
  void Install(bool keepRunning = false) {
    winsim::Script({winsim::Enter(), winsim::Enter()});
    ASSERT_EQ(RunInstaller(nullptr), 0);
    ASSERT_TRUE(winsim::Exists(kMain));
    if (!keepRunning) winsim::EndProgram(kMain);
  }

  // The uninstaller, started from `path`, answering `answer` when asked.
  static int RunFrom(const char* path, int answer = IDYES) {
    winsim::SetModulePath(path);
    winsim::RunProgram(path);
    winsim::QueueAnswer(answer);
    return RunUninstaller("");
  }

  // The uninstaller's process ends, and the copy it started runs as a process
  // of its own to its end; the copy's exit code, and its last message in
  // copyText_.
  int RunCopy() {
    EXPECT_EQ(winsim::OpenHandleCount(), 0) << "the uninstaller left a handle open";
    int copy = static_cast<int>(winsim::Processes().size()) - 1;
    EXPECT_GT(copy, winsim::CurrentProcess()) << "no copy was started";
    if (copy <= winsim::CurrentProcess()) return -1;
    winsim::EndProcess();
    winsim::SwitchToProcess(copy);
    std::string line = winsim::Processes()[copy].commandLine;
    int code = RunUninstaller(line.substr(line.find("\" ") + 2).c_str());
    copyText_ = LastText();
    winsim::EndProcess();
    return code;
  }

  // Every file and folder, key and value of the machine, one a line.
  static std::vector<std::string> Machine() {
    std::vector<std::string> all;
    for (const auto& f : winsim::MachineFiles())
      all.push_back(f.first + (f.second.folder ? "\\ " : " ") +
                    std::to_string(f.second.attributes) + " " + f.second.data);
    for (const auto& v : winsim::RegistryValues())
      all.push_back(v.first + " " + std::to_string(v.second.type) + " " + v.second.data);
    for (const std::string& key : winsim::RegistryKeys()) all.push_back(key);
    return all;
  }

  static std::string LastText() {
    return winsim::Notices().empty() ? "" : winsim::Notices().back().text;
  }

  std::vector<std::string> before_;
  std::string copyText_;
};

TEST_F(Uninstall, WhenNothingIsInstalledNothingChanges) {
  struct Case {
    const char* what;
    void (*arrange)();
  } cases[] = {
      {"no keys at all", [] {}},
      {"a machine key without \"Path\"", [] { winsim::SetRegString(kMachine, "patch", "blank"); }},
      {"a \"Path\" that begins with ':'",
       [] { winsim::SetRegString(kMachine, "Path", ":\\Program Files\\Quillmark"); }},
      {"a recorded folder without the program",
       [] {
         winsim::SetRegString(kMachine, "Path", kFolder);
         winsim::PutFile(In(kFolder, "hints.txt"), "hints");
       }},
      {"\"nolmaccess\" and the folder recorded only in the machine hive",
       [] {
         winsim::SetRegNumber(kSettings, "nolmaccess", 1);
         winsim::SetRegString(kMachine, "Path", kFolder);
         winsim::PutFile(kMain, "MZ");
       }},
      {"a folder too long to hold the program's name",
       [] {
         std::string folder = "C:\\" + std::string(506, 'q');
         winsim::SetRegString(kMachine, "Path", folder);
         // What the program's path would be when cut to 519 characters.
         winsim::PutFile(In(folder, "Quillmark"), "MZ");
       }},
      {"a \"Path\" ending in a lone lead byte, whose program's path names a neighbour",
       [] {
         winsim::SetAnsiCodePage(932);
         winsim::SetRegString(kMachine, "Path", "C:\\abc\x93");
         winsim::PutFile("C:\\abc\x93\\Quillmark.exe", "MZ");  // one name, in C:\ itself
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    std::vector<std::string> arranged = Machine();
    winsim::SetModulePath(kWindowsCopy);
    EXPECT_EQ(RunUninstaller(""), NotInstalled);
    EXPECT_EQ(Machine(), arranged);
    EXPECT_TRUE(OnlyNotice("Quillmark 2003 Uninstall",
                           "Quillmark 2003 is not installed on this computer. Nothing was changed."));
  }
}

TEST_F(Uninstall, NoChangesNothingAndTheQuestionNamesTheFolder) {
  Install();
  std::vector<std::string> installed = Machine();
  EXPECT_EQ(RunFrom(kWindowsCopy, IDNO), Declined);
  EXPECT_EQ(Machine(), installed);
  ASSERT_EQ(winsim::Notices().size(), 1u);
  EXPECT_EQ(winsim::Notices()[0].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
  EXPECT_TRUE(Has(LastText(), "remove Quillmark 2003")) << LastText();
  EXPECT_TRUE(Has(LastText(), std::string("\n    ") + kFolder + "\n")) << LastText();
}

TEST_F(Uninstall, WhileTheProgramRunsNothingIsRemoved) {
  Install(true);
  std::vector<std::string> installed = Machine();
  size_t pauses = winsim::Pauses().size();
  EXPECT_EQ(RunFrom(kWindowsCopy), ProgramRunning);
  EXPECT_EQ(Machine(), installed);
  // The installer's own test: refused twice, 3 seconds apart.
  EXPECT_EQ(std::vector<DWORD>(winsim::Pauses().begin() + pauses, winsim::Pauses().end()),
            std::vector<DWORD>{3000});
  ASSERT_EQ(winsim::Notices().size(), 2u) << "the question and the refusal";
  EXPECT_EQ(winsim::Notices().back().type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
  EXPECT_TRUE(Has(LastText(), "Quillmark 2003 is running.") &&
              Has(LastText(), "Nothing was removed"))
      << LastText();
  EXPECT_EQ(winsim::Processes().size(), 1u) << "no copy is started";
}

TEST_F(Uninstall, AFullRemovalLeavesTheMachineAsItWasBeforeTheInstall) {
  struct Case {
    const char* what;
    void (*arrange)();
    const char* runFrom;
  } cases[] = {
      {"as installed", [] {}, kWindowsCopy},
      {"read-only rows, a compressed one made read-only too",
       [] {
         ASSERT_TRUE(winsim::Attributes(In(kFolder, "Scheme1.scm")) & FILE_ATTRIBUTE_READONLY);
         winsim::SetAttributes(In(kFolder, "Sample1.scp"), FILE_ATTRIBUTE_READONLY);
         winsim::SetAttributes(In(kFolder, "hints.txt"),
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
       },
       kWindowsCopy},
      {"an image left by a failed run, an uninstaller from an earlier one in the folder",
       [] {
         winsim::PutFile(In(kFolder, "image.tmp"), "half a program");
         winsim::PutFile(kFolderCopy, "MZ an earlier uninstaller");
       },
       kWindowsCopy},
      {"the Windows directory's copy found through the uninstall entry, run from the folder",
       [] { winsim::PutFile(kFolderCopy, "MZ an earlier uninstaller"); }, kFolderCopy},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Install();
    c.arrange();
    EXPECT_EQ(RunFrom(c.runFrom), Removed);
    EXPECT_EQ(LastText(), kRemoved);
    EXPECT_TRUE(winsim::Exists(c.runFrom)) << "the running uninstaller is left to its copy";
    const winsim::ProcessRecord& copy = winsim::Processes().back();
    EXPECT_TRUE(copy.inheritedHandles && copy.currentDirectory == "C:\\TEMP");
    EXPECT_EQ(RunCopy(), 0);
    EXPECT_EQ(Machine(), before_);
  }
}

TEST_F(Uninstall, TheNolmaccessLayoutIsFoundInTheSettingsKeyAndRemovedWithItsFolder) {
  winsim::DenyRegistry("HKLM", winsim::kDenyWrite);
  winsim::SetRegString(kMachine, "Path", "D:\\An admin install elsewhere");
  before_ = Machine();
  Install();
  ASSERT_EQ(winsim::RegNumber(kSettings, "nolmaccess"), 1u);
  ASSERT_TRUE(winsim::Exists(kFolderCopy));
  ASSERT_FALSE(winsim::Exists(kWindowsCopy));
  EXPECT_EQ(RunFrom(kFolderCopy), Removed);
  EXPECT_TRUE(winsim::IsFolder(kFolder)) << "the copy removes the folder the uninstaller is in";
  EXPECT_EQ(RunCopy(), 0);
  EXPECT_EQ(Machine(), before_);
}

// A standard user under UAC: Program Files, the Windows folder and HKLM
// refuse their writes, as the system's ACLs do. What they meet, installing
// and removing again: the refused default folder, then a folder of their
// own; the per-user fallback; the writes that fail without a word.
TEST_F(Uninstall, AStandardUserInstallsIntoAFolderOfTheirOwnAndRemovesItAgain) {
  const std::string own = "C:\\Users\\Ann\\Quillmark";
  winsim::DenyFolderWrites("C:\\Program Files");
  winsim::DenyFolderWrites("C:\\WINDOWS");
  winsim::DenyRegistry("HKLM", winsim::kDenyWrite);
  before_ = Machine();
  winsim::QueueBrowse("C:\\Users\\Ann");
  winsim::Script({winsim::Enter(), winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Enter()});
  ASSERT_EQ(RunInstaller(nullptr), 0);
  ASSERT_EQ(winsim::Notices().size(), 1u);
  EXPECT_EQ(winsim::Notices()[0].caption, "ERROR 16");
  EXPECT_EQ(winsim::Notices()[0].text, "Could not create the specified folder.");
  EXPECT_NE(winsim::JournalIndex("launch open Quillmark.exe |  | " + own + " | 3"), -1);

  const char* const kAppPaths = kAppPathsEntry;
  const struct {
    const char* what;
    std::string key, value;  // value "" with key a file's path: that file
    std::string want;        // "" for absent
  } rows[] = {
      {"the probe finds HKLM closed", kSettings, "nolmaccess", "\x01"},
      {"the install folder lands in the settings key", kSettings, "Path", own},
      {"the installer's own path", kSettings, "Installed", "C:\\Downloads\\Quil.exe"},
      {"nothing under the machine key", kMachine, "Path", ""},
      {"no App Paths entry, silently", kAppPaths, "Path", ""},
      {"no Uninstall entry, silently", kUninstallEntry, "UninstallString", ""},
      {"the main program", own + "\\Quillmark.exe", "", "MZ the main program"},
      {"the uninstaller, in the install folder", own + "\\uninst1.exe", "",
       "content of uninst1.exe\r\n"},
      {"no uninstaller in the Windows folder", kWindowsCopy, "", ""},
      {"the helper program, refused silently", "C:\\WINDOWS\\wmon03.exe", "", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    if (!r.value.empty()) {
      EXPECT_EQ(winsim::RegData(r.key, r.value).substr(0, r.want.size()), r.want);
      EXPECT_EQ(winsim::RegValueExists(r.key, r.value), !r.want.empty());
    } else {
      EXPECT_EQ(winsim::FileData(r.key), r.want);
      EXPECT_EQ(winsim::Exists(r.key), !r.want.empty());
    }
  }
  winsim::ShellLinkFile link;
  EXPECT_TRUE(winsim::ReadShellLink(kStartMenu + std::string(kLink), &link));
  EXPECT_EQ(link.target, own + "\\Quillmark.exe");

  winsim::EndProgram((own + "\\Quillmark.exe").c_str());
  EXPECT_EQ(RunFrom((own + "\\uninst1.exe").c_str()), Removed) << LastText();
  EXPECT_EQ(RunCopy(), 0) << copyText_;
  EXPECT_EQ(FirstDifference(before_, Machine()), "");
}

// Under code page 932 a folder's name may hold a double-byte character whose
// second byte is a backslash's (表), or a lead byte before a byte the page
// does not define after one ('?', '*'), which the system reads as its
// default character (0x81 0x45) and no wildcard. Recorded or chosen in the
// browser, such a folder is validated, made, searched for the main program,
// installed into and removed exactly where the system says it is, also when
// the uninstaller stands in it and its copy removes the folder. A lead byte
// with nothing after it is refused: the system would make a folder of
// another name, and a file joined onto it would land beside it.
TEST_F(Uninstall, DoubleByteFoldersAreInstalledAndRemovedWhereTheSystemSaysTheyAre) {
  struct Case {
    std::string given;  // the recorded "Path", or the folder chosen in the browser
    bool browsed;
    std::string system;  // the install folder as the system names it; "" refused
  } cases[] = {
      {"C:\\Programme\\\x91\xE4\x96\x7B\x95\x5C", false,
       "C:\\Programme\\\x91\xE4\x96\x7B\x95\x5C"},  // 台本表
      {"C:\\Programme\\\x8d\xa3z\xf2?\x8frog", false, "C:\\Programme\\\x8d\xa3z\x81\x45\x8frog"},
      {"C:\\Programme\\Qu\x96\x9ei\x8b*", false, "C:\\Programme\\Qu\x96\x9ei\x81\x45"},
      {"C:\\Programme\\a\xf2?", true, "C:\\Programme\\a\x81\x45\\Quillmark"},
      {"C:\\Programme\\abc\x93", false, ""},
  };
  for (const Case& c : cases) {
    for (bool nolmaccess : {false, true}) {
      SCOPED_TRACE(c.given + (c.browsed ? " browsed" : " recorded") +
                   (nolmaccess ? ", nolmaccess" : ""));
      Fresh();
      winsim::SetAnsiCodePage(932);
      winsim::MakeFolders("C:\\Programme");
      if (nolmaccess) winsim::DenyRegistry("HKLM", winsim::kDenyWrite);
      if (c.browsed) winsim::MakeFolders(c.given);  // the browser offers folders that are
      before_ = Machine();
      if (c.browsed) {
        winsim::QueueBrowse(c.given);
        winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Enter()});
      } else if (c.system.empty()) {
        winsim::SetRegString(kSettings, "Path", c.given);
        winsim::Script({winsim::Enter(), winsim::Escape(), winsim::Escape()});
      } else {
        winsim::SetRegString(kSettings, "Path", c.given);
        winsim::Script({winsim::Enter(), winsim::Enter()});
      }
      ASSERT_EQ(RunInstaller(nullptr), 0);
      if (c.system.empty()) {
        EXPECT_TRUE(OnlyNotice("ERROR 16", "Could not create the specified folder."));
        EXPECT_TRUE(winsim::FolderEntries("C:\\Programme").empty());
        continue;
      }
      const std::string main = c.system + "\\Quillmark.exe";
      ASSERT_TRUE(winsim::Exists(main));
      EXPECT_EQ(winsim::FolderEntries("C:\\Programme").size(), 1u) << "nothing beside it";
      EXPECT_TRUE(winsim::Notices().empty());
      winsim::EndProgram(main);
      const std::string uninstaller = nolmaccess ? c.system + "\\uninst1.exe" : kWindowsCopy;
      EXPECT_EQ(RunFrom(uninstaller.c_str()), Removed) << LastText();
      EXPECT_EQ(RunCopy(), 0) << copyText_;
      EXPECT_EQ(FirstDifference(before_, Machine()), "");
    }
  }
}

TEST_F(Uninstall, TheUsersOwnFilesStayWithTheirFolderAndAreNamed) {
  Install();
  winsim::PutFile(In(kFolder, "My script.scp"), "FADE IN:");
  winsim::MakeFolders(In(kFolder, "Drafts"));
  EXPECT_EQ(RunFrom(kWindowsCopy), Removed);
  EXPECT_EQ(LastText(), std::string(kRemoved) + "\n\nThe folder\n    " + kFolder +
                            "\nwas kept, with these files that did not come with Quillmark "
                            "2003:\n    My script.scp\n    Drafts");
  EXPECT_EQ(RunCopy(), 0);
  EXPECT_EQ(winsim::FolderEntries(kFolder), (std::vector<std::string>{"My script.scp", "Drafts"}));
  EXPECT_EQ(winsim::FileData(In(kFolder, "My script.scp")), "FADE IN:");
  EXPECT_FALSE(winsim::RegKeyExists("HKCU\\Software\\Kestrel"));
  EXPECT_FALSE(winsim::Exists(kWindowsCopy));
}

TEST_F(Uninstall, OnlyALinkToThisInstallsProgramIsRemoved) {
  struct Case {
    const char* what;
    std::string content;  // "" for a link to `target`
    std::string target;
    bool removed;
  } cases[] = {
      {"a link elsewhere", "", "D:\\Old\\Quillmark.exe", false},
      {"a link to the program, in other case", "", "c:\\program files\\QUILLMARK\\quillmark.exe",
       true},
      {"a file of the name that is no link", "my own notes", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Install();
    std::string desktop = std::string(kDesktop) + kLink;
    if (c.content.empty()) {
      winsim::ShellLinkFile link;
      link.target = c.target;
      winsim::WriteShellLink(desktop, link);
    } else {
      winsim::PutFile(desktop, c.content);
    }
    std::string kept = winsim::FileData(desktop);
    EXPECT_EQ(RunFrom(kWindowsCopy), Removed);
    EXPECT_EQ(winsim::Exists(desktop), !c.removed);
    if (!c.removed) {
      EXPECT_EQ(winsim::FileData(desktop), kept);
    }
    EXPECT_FALSE(winsim::Exists(std::string(kStartMenu) + kLink));
    EXPECT_FALSE(winsim::Exists(std::string(kQuickLaunch) + kLink));
    EXPECT_EQ(RunCopy(), 0);
  }
}

TEST_F(Uninstall, AKeyThatHoldsWhatTheInstallerDidNotWriteStays) {
  struct Case {
    const char* key;
    const char* value;  // a value of someone else's, or "" for a subkey "report"
    std::vector<const char*> gone;
  } cases[] = {
      {kSettings, "WindowPos", {}},
      {"HKCU\\Software\\Kestrel\\Quillmark\\report", "", {kSettings}},
      {kMachine, "OtherProduct", {}},
      {kAppPathsEntry, "UseURL", {}},
      {kUninstallEntry, "InstallDate", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    Fresh();
    Install();
    if (*c.value)
      winsim::SetRegString(c.key, c.value, "theirs");
    else
      winsim::SetRegString(c.key, "log00", "INSTALLER ERROR");
    EXPECT_EQ(RunFrom(kWindowsCopy), Removed);
    EXPECT_EQ(RunCopy(), 0);
    std::vector<std::string> expected = {*c.value ? c.value : "log00"};
    EXPECT_EQ(winsim::RegValueNames(c.key), expected);
    for (const char* gone : c.gone) EXPECT_FALSE(winsim::RegKeyExists(gone)) << gone;
    EXPECT_FALSE(winsim::RegValueExists(kSettings, "Installed"));
    EXPECT_FALSE(winsim::RegValueExists(kMachine, "Path"));
  }
}

// What cannot be removed is named, and the removal stops there: what a second
// run needs stays (the record of either layout, the program, the
// uninstaller). A value that cannot be deleted stops the walk of its key, so
// the value after it (an entry's command, the install's folder) stays too.
TEST_F(Uninstall, WhatCannotBeRemovedIsNamedWithItsReasonAndASecondRunFinishes) {
  const std::string hklm = "HKEY_LOCAL_MACHINE", denied = "\" (access denied)";
  const std::string held = std::string(kFolder) + "\\Guide1.rtf (in use by another program)";
  struct Case {
    const char* what;
    bool nolmaccess;
    void (*arrange)();
    std::string remains;  // the message's line for it
    const char* staysKey;  // a value walked after the one that remains
    const char* staysValue;
  } cases[] = {
      {"a document held open", false, [] { winsim::HoldFile(In(kFolder, "Guide1.rtf"), 60000); },
       held, nullptr, nullptr},
      {"a document held open, nolmaccess", true,
       [] { winsim::HoldFile(In(kFolder, "Guide1.rtf"), 60000); }, held, nullptr, nullptr},
      {"the second program running", false, [] { winsim::RunProgram("C:\\WINDOWS\\wmon03.exe"); },
       "C:\\WINDOWS\\wmon03.exe (in use by another program)", nullptr, nullptr},
      {"the uninstall entry denied", false,
       [] { winsim::DenyRegistry(kUninstallEntry, winsim::kDenyWrite); },
       hklm + (kUninstallEntry + 4) + " (access denied)", nullptr, nullptr},
      // The values go in this order: the App Paths entry's two, "Installed"
      // and "patch" of the machine key, then of the settings key, then the
      // uninstall entry's two.
      {"the App Paths entry's default value", false,
       [] { winsim::FailCall("RegDeleteValueA", 1, ERROR_ACCESS_DENIED); },
       hklm + (kAppPathsEntry + 4) + " \"(default)" + denied, kAppPathsEntry, "Path"},
      {"the settings key's \"Installed\"", false,
       [] { winsim::FailCall("RegDeleteValueA", 5, ERROR_ACCESS_DENIED); },
       "HKEY_CURRENT_USER" + std::string(kSettings + 4) + " \"Installed" + denied, kSettings,
       "patch"},
      {"the uninstall entry's \"DisplayName\"", false,
       [] { winsim::FailCall("RegDeleteValueA", 7, ERROR_ACCESS_DENIED); },
       hklm + (kUninstallEntry + 4) + " \"DisplayName" + denied, kUninstallEntry,
       "UninstallString"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    if (c.nolmaccess) winsim::DenyRegistry("HKLM", winsim::kDenyWrite);
    Install();
    if (c.staysKey) {
      ASSERT_TRUE(winsim::RegValueExists(c.staysKey, c.staysValue));
    }
    c.arrange();
    const char* uninstaller = c.nolmaccess ? kFolderCopy : kWindowsCopy;
    EXPECT_EQ(RunFrom(uninstaller), PartlyRemoved);
    ASSERT_GE(winsim::Notices().size(), 2u) << "the question and the outcome";
    EXPECT_EQ(winsim::Notices().back().type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_TRUE(Has(LastText(), "could not be removed completely") &&
                Has(LastText(), "\n    " + c.remains + "\n") && !Has(LastText(), "was removed"))
        << LastText();
    if (c.nolmaccess) {
      EXPECT_EQ(winsim::RegString(kSettings, "Path"), kFolder);
      EXPECT_EQ(winsim::RegNumber(kSettings, "nolmaccess"), 1u);
    } else {
      EXPECT_EQ(winsim::RegString(kMachine, "Path"), kFolder);
      EXPECT_EQ(winsim::RegString(kUninstallEntry, "UninstallString"), kWindowsCopy);
      EXPECT_TRUE(winsim::RegValueExists(kUninstallEntry, "DisplayName"));
    }
    if (c.staysKey) {
      EXPECT_TRUE(winsim::RegValueExists(c.staysKey, c.staysValue));
    }
    EXPECT_TRUE(winsim::Exists(kMain));
    EXPECT_TRUE(winsim::Exists(uninstaller));
    EXPECT_EQ(winsim::Processes().size(), 1u) << "no copy";
    EXPECT_FALSE(winsim::Exists(In(kFolder, "Layout15.stp")));
  }
  // Once the document is let go, running the uninstaller again finishes.
  Fresh();
  Install();
  winsim::HoldFile(In(kFolder, "Guide1.rtf"), 60000);
  EXPECT_EQ(RunFrom(kWindowsCopy), PartlyRemoved);
  Sleep(60000);
  EXPECT_EQ(RunFrom(kWindowsCopy), Removed);
  EXPECT_EQ(RunCopy(), 0);
  EXPECT_EQ(Machine(), before_);
}

TEST_F(Uninstall, APathThatDoesNotFitIsNeverCutIntoAnotherName) {
  // The program's name fits beside this folder; the manifest's does not.
  std::string folder = "C:\\" + std::string(500, 'q');
  winsim::PutFile(In(folder, "Quillmark.exe"), "MZ");
  std::string cut = std::string("quillmark.exe.manifest").substr(0, 519 - folder.size() - 1);
  winsim::PutFile(In(folder, cut), "a file at the manifest's path cut to 519");
  winsim::PutFile(In(folder, "hints.txt"), "hints");
  winsim::SetRegString(kMachine, "Path", folder);
  EXPECT_EQ(RunFrom(kWindowsCopy), PartlyRemoved);
  EXPECT_TRUE(Has(LastText(), "quillmark.exe.manifest (its path is too long)")) << LastText();
  EXPECT_EQ(winsim::FileData(In(folder, cut)), "a file at the manifest's path cut to 519");
  EXPECT_FALSE(winsim::Exists(In(folder, "hints.txt")));
  EXPECT_TRUE(winsim::Exists(In(folder, "Quillmark.exe")));
}

TEST_F(Uninstall, ItsOwnFileThatCannotGoIsReportedAndNoCopyIsLeft) {
  struct Case {
    const char* what;
    void (*arrange)();
    int uninstallerCode, copyCode;
  } cases[] = {
      {"no copy can be started",
       [] { winsim::FailCall("CreateProcessA", 1, ERROR_NOT_ENOUGH_MEMORY); }, PartlyRemoved, -1},
      {"no temporary folder", [] { winsim::SetTempPath(""); }, PartlyRemoved, -1},
      {"the original held when the copy comes", [] {}, Removed, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    Install();
    c.arrange();
    EXPECT_EQ(RunFrom(kWindowsCopy), c.uninstallerCode);
    if (c.copyCode == -1) {
      EXPECT_TRUE(Has(LastText(), std::string(kWindowsCopy) + " (")) << LastText();
      EXPECT_EQ(winsim::Processes().size(), 1u);
    } else {
      winsim::HoldFile(kWindowsCopy, 60000);
      EXPECT_EQ(RunCopy(), c.copyCode);
      EXPECT_TRUE(Has(copyText_,
                      "The uninstaller\n    C:\\WINDOWS\\uninst1.exe\ncould not be "
                      "removed (in use by another program)"))
          << copyText_;
    }
    std::vector<std::string> temp = winsim::FolderEntries("C:\\TEMP");
    EXPECT_TRUE(temp.empty()) << (temp.empty() ? "" : temp[0]);
  }
  // A command line of its copy's form that names another file deletes nothing.
  EXPECT_EQ(RunUninstaller("--remove-uninstaller 0 0 C:\\Downloads\\Quil.exe"), 1);
  EXPECT_TRUE(winsim::Exists("C:\\Downloads\\Quil.exe"));
}

}  // namespace

namespace {

// Each call of a removal fails in turn, with access denied and with a sharing
// violation. Every run still tells the truth: it says "removed", and exits
// with 0, only when nothing of the install is left but what its copy takes;
// a run that says something remains does not say "removed", and when it kept
// the record of the install a second run, without the fault, finishes.
TEST_F(Uninstall, EveryCallFailingInTurnStillGivesATruthfulAccount) {
  Install();
  const int before = winsim::FaultableCallCount();
  ASSERT_EQ(RunFrom(kWindowsCopy), Removed);
  const int calls = winsim::FaultableCallCount() - before;
  int outcomes[6] = {};
  for (int n = 1; n <= calls; ++n) {
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION}) {
      Fresh();
      Install();
      std::vector<std::string> installed = Machine();
      winsim::FailNthCall(n, error);
      int code = RunFrom(kWindowsCopy);
      std::string run = "call " + std::to_string(n) + " of " + std::to_string(calls) +
                        " failing with " + std::to_string(error) + ": " + LastText();
      ASSERT_GE(code, 0) << run;
      ASSERT_LT(code, 6) << run;
      ++outcomes[code];
      std::string text = LastText();
      // The shell's answer for a special folder is taken as it is: a lookup
      // that fails leaves that place unsearched, the way it would have left
      // the installer without a shortcut there.
      bool noShellFolder = !winsim::FailedCalls().empty() &&
                           (winsim::FailedCalls()[0] == "SHGetSpecialFolderLocation" ||
                            winsim::FailedCalls()[0] == "SHGetMalloc");
      run += " (" + (winsim::FailedCalls().empty() ? "" : winsim::FailedCalls()[0]) + ")";
      if (code == Removed) {
        ASSERT_EQ(text.compare(0, std::strlen(kRemoved), kRemoved), 0) << run;
        ASSERT_EQ(RunCopy(), 0) << run;
        std::vector<std::string> now = Machine();
        if (noShellFolder)
          now.erase(std::remove_if(now.begin(), now.end(),
                                   [](const std::string& e) { return Has(e, kLink + 1); }),
                    now.end());
        ASSERT_EQ(FirstDifference(before_, now), "") << run;
      } else if (code == PartlyRemoved) {
        ASSERT_TRUE(Has(text, "could not be removed completely") && !Has(text, kRemoved)) << run;
        if (!Has(text, "run the uninstaller again")) continue;
        ASSERT_EQ(winsim::OpenHandleCount(), 0) << run;
        ASSERT_EQ(RunFrom(kWindowsCopy), Removed) << run << "\nthen: " << LastText();
        ASSERT_EQ(RunCopy(), 0) << run;
        ASSERT_EQ(FirstDifference(before_, Machine()), "") << run;
      } else {
        // The install is there: a failure never makes it "not installed".
        ASSERT_EQ(code, RecordUnread) << run;
        ASSERT_TRUE(Has(text, "could not be read") && Has(text, "Nothing was changed")) << run;
        ASSERT_EQ(FirstDifference(installed, Machine()), "") << run;
      }
    }
  }
  // The sweep met each account: full removals, partial ones, and runs that
  // could not read what the install recorded.
  EXPECT_GT(outcomes[Removed], 0);
  EXPECT_GT(outcomes[PartlyRemoved], 0);
  EXPECT_GT(outcomes[RecordUnread], 0);
}

}  // namespace
