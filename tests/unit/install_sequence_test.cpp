#include "installer/install.h"

#include <map>

#include "fixture.h"
#include "installer/payload/payload.h"

namespace {

const char kFolder[] = "C:\\Program Files\\Quillmark";

std::string Content(const PayloadEntry& row) {
  return std::string("content of ") + row.name + std::string(300, ' ') + "end\r\n";
}

class InstallSequence : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    winsim::MakeFolders("C:\\Program Files");
    GiveUserShellFolders();
    // Packed once: the sweeps below set the payload up again for every run.
    static const std::map<WORD, std::string> payload = [] {
      std::map<WORD, std::string> p;
      for (const PayloadEntry& row : kPayloadTable)
        p[row.resourceId] = row.storage == kRaw ? Content(row) : Packed(Content(row));
      p[kAgreementResource] = "Quillmark 2003\r\nAgreement.\r\n";
      p[kMainProgramResource] = Packed("MZ the main program");
      return p;
    }();
    for (const auto& resource : payload) winsim::SetResource(resource.first, resource.second);
  }
  static int At(const std::string& prefix) { return winsim::JournalIndex(prefix); }
};

const char kSettings[] = "HKCU\\Software\\Kestrel\\Quillmark\\Settings";
const char kMachine[] = "HKLM\\SOFTWARE\\Kestrel";
const char kAppPath[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Quillmark.exe";
const char kUninstall[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quillmark";

// Whether each journal line beginning so came, in this order.
::testing::AssertionResult InOrder(const std::vector<std::string>& steps) {
  for (size_t i = 0; i < steps.size(); ++i) {
    int at = winsim::JournalIndex(steps[i]);
    if (at == -1) return ::testing::AssertionFailure() << steps[i] << ": never happened";
    if (i && at < winsim::JournalIndex(steps[i - 1]))
      return ::testing::AssertionFailure() << steps[i] << ": before " << steps[i - 1];
  }
  return ::testing::AssertionSuccess();
}

// The default answers on a fresh machine, and over an earlier install whose
// every value is overwritten (the application's own stays).
TEST_F(InstallSequence, ADefaultRunInstallsRecordsAndLaunchesInItsFixedOrder) {
  const struct {
    const char* what;
    void (*arrange)();
    const char* carried;  // the machine key's "Installed", from the settings key at start
    const char* owner;
  } cases[] = {
      {"a fresh machine", [] {}, "", ""},
      {"over an earlier install",
       [] {
         winsim::SetRegString(kSettings, "Installed", "C:\\Old\\Quil.exe");
         winsim::SetRegNumber(kSettings, "nolmaccess", 7);
         winsim::SetRegString(kSettings, "patch", "stale");
         winsim::SetRegString(kAppPath, "", "C:\\Old\\Place\\Quillmark.exe");
         winsim::SetRegString(kAppPath, "Path", "C:\\Old\\Place");
         winsim::SetRegString(kUninstall, "DisplayName", "Old");
         winsim::SetRegString(kUninstall, "UninstallString", "C:\\Old\\uninst1.exe");
         winsim::SetRegString(kMachine, "Owner", "the application's own");
       },
       "C:\\Old\\Quil.exe", "the application's own"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    winsim::Script({winsim::Enter(), winsim::Enter()});
    EXPECT_EQ(RunInstaller(nullptr), 0);
    EXPECT_EQ(winsim::FileData(In(kFolder, "Quillmark.exe")), "MZ the main program");
    for (const PayloadEntry& row : kPayloadTable) {
      const char* folder = row.folder == kInstallFolder ? kFolder : "C:\\WINDOWS";
      EXPECT_EQ(winsim::FileData(In(folder, row.name)),
                row.resourceId == kAgreementResource ? "Quillmark 2003\r\nAgreement.\r\n" : Content(row))
          << row.name;
      EXPECT_EQ((winsim::Attributes(In(folder, row.name)) & FILE_ATTRIBUTE_READONLY) != 0, row.readOnly)
          << row.name;
    }
    EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp"));
    EXPECT_FALSE(winsim::Exists(In(kFolder, "image.tmp")));
    EXPECT_TRUE(winsim::Notices().empty());
    EXPECT_EQ(winsim::CurrentDirectory(), kFolder);
    EXPECT_EQ(winsim::ErrorMode(), static_cast<UINT>(SEM_NOGPFAULTERRORBOX));
    EXPECT_NE(winsim::InstalledFilter(), nullptr);
    EXPECT_EQ(winsim::Dialogs()[0].textsAtOpen[2], kFolder);
    for (const char* place : {kStartMenu, kDesktop, kQuickLaunch}) {
      winsim::ShellLinkFile link;
      EXPECT_TRUE(winsim::ReadShellLink(In(place, "Quillmark 2003.lnk"), &link)) << place;
      EXPECT_EQ(link.target, In(kFolder, "Quillmark.exe")) << place;
    }
    EXPECT_EQ(winsim::RegString(kSettings, "patch"), "blank");
    EXPECT_EQ(winsim::RegNumber(kSettings, "nolmaccess"), 0u);
    EXPECT_EQ(winsim::RegString(kSettings, "Installed"), "C:\\Downloads\\Quil.exe");
    EXPECT_EQ(winsim::RegString(kMachine, "Path"), kFolder);
    EXPECT_EQ(winsim::RegString(kMachine, "patch"), "blank");
    EXPECT_EQ(winsim::RegString(kMachine, "Installed"), c.carried);
    EXPECT_EQ(winsim::RegString(kMachine, "Owner"), c.owner);
    EXPECT_EQ(winsim::RegString(kAppPath, ""), In(kFolder, "Quillmark.exe"));
    EXPECT_EQ(winsim::RegString(kAppPath, "Path"), kFolder);
    EXPECT_EQ(winsim::RegString(kUninstall, "DisplayName"), "Quillmark 2003   (Remove Only)");
    EXPECT_EQ(winsim::RegString(kUninstall, "UninstallString"), "C:\\WINDOWS\\uninst1.exe");
    // The entries are recorded after the payload, before the uninstaller is
    // written; the bare name launched is found through the install folder,
    // made current again right before.
    EXPECT_TRUE(InOrder({"SetErrorMode 2", "filter set", "common controls", "window Quillmark",
                         "reg create", "dialog 101", "dialog 158", "modeless 103",
                         "move " + In(kFolder, "image.tmp") + " -> " + In(kFolder, "Quillmark.exe"),
                         "create " + In(kFolder, "quillmark.exe.manifest"),
                         "create " + In(kFolder, "Layout15.stp"), "create C:\\WINDOWS\\wmon03.exe",
                         "reg set HKEY_CURRENT_USER\\Software\\Kestrel\\Quillmark\\Settings [Installed]",
                         "reg set HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                         "Uninstall\\Quillmark [UninstallString]",
                         "create C:\\WINDOWS\\uninst1.exe", "create " + In(kStartMenu, "Quillmark 2003.lnk"),
                         "create " + In(kQuickLaunch, "Quillmark 2003.lnk"),
                         "launch open Quillmark.exe |  | " + std::string(kFolder) + " | 3", "destroy 103"}));
    int launch = At("launch open Quillmark.exe |  | " + std::string(kFolder) + " | 3 | from " + kFolder);
    ASSERT_NE(launch, -1);
    EXPECT_EQ(winsim::Journal()[launch - 1], "current directory " + std::string(kFolder));
  }
}

TEST_F(InstallSequence, StartUpReadsTheRegistryBeforeTheSystemFolders) {
  winsim::Script({winsim::Escape()});
  RunInstaller(nullptr);
  EXPECT_TRUE(InOrder({"filter set", "reg create HKEY_CURRENT_USER", "windows directory", "temp path",
                       "dialog 101"}));
}

// A run that meets a missing part or a refused step: what it shows, what it
// leaves, and how far it gets.
TEST_F(InstallSequence, EachMissingPartEndsOrBendsTheRunAsItShould) {
  enum Folder { kNone, kEmpty, kFilled };
  const auto enter2 = std::vector<winsim::UserAction>{winsim::Enter(), winsim::Enter()};
  const struct {
    const char* what;
    void (*arrange)();
    std::vector<winsim::UserAction> script;
    std::vector<std::string> notices;
    Folder folder;
    std::vector<std::string> made, absent;   // files
    std::vector<std::string> came, never;  // journal lines, by their start
  } cases[] = {
      {"cancel: nothing written", [] {}, {winsim::Escape()}, {}, kNone, {}, {}, {}, {"dialog 158"}},
      {"declined: only the empty install folder", [] {}, {winsim::Enter(), winsim::Escape()}, {},
       kEmpty, {}, {}, {}, {"modeless 103"}},
      {"no location dialog: ERROR 43 and the end", [] { winsim::RemoveDialog(IDD_LOCATION); }, {},
       {"ERROR 43"}, kNone, {}, {}, {}, {}},
      {"no agreement dialog: the end, silently", [] { winsim::RemoveDialog(IDD_AGREEMENT); },
       {winsim::Enter()}, {}, kEmpty, {}, {}, {}, {"modeless 103"}},
      {"an unwritable user hive: ERROR 1A before any dialog",
       [] { winsim::DenyRegistry("HKCU\\Software", winsim::kDenyWrite); }, enter2, {"ERROR 1A"},
       kNone, {}, {}, {}, {"dialog ", "modeless "}},
      {"no Windows directory: the second program lands in the install folder",
       [] { winsim::SetWindowsDirectory(""); }, enter2, {"ERROR 2"}, kFilled,
       {In(kFolder, "wmon03.exe"), In(kFolder, "uninst1.exe")}, {}, {}, {}},
      {"a Windows directory at a drive root loses its backslash",
       [] { winsim::SetWindowsDirectory("C:\\"); }, enter2, {}, kFilled, {"C:\\wmon03.exe"}, {},
       {"create C:\\wmon03.exe"}, {}},
      {"no temp folder: staged at the install drive's root",
       [] { winsim::SetTempPath(""); }, enter2, {"ERROR 3"}, kFilled, {In(kFolder, "Sample1.scp")},
       {"C:\\data.tmp"}, {"create C:\\data.tmp"}, {}},
      // The lookup's error is still pending when the replacement reports; the
      // progress dialog stays until the process ends.
      {"a failed replacement ends the run before any row",
       [] { winsim::RemoveResource(kMainProgramResource); }, enter2, {"ERROR 60", "ERROR 34"},
       kFilled, {}, {In(kFolder, "quillmark.exe.manifest")}, {}, {"launch", "destroy 103"}},
      {"no progress dialog: the install still completes", [] { winsim::RemoveDialog(IDD_PROGRESS); },
       enter2, {}, kFilled, {"C:\\WINDOWS\\uninst1.exe"}, {}, {"launch"}, {"destroy"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    c.arrange();
    if (!c.script.empty()) winsim::Script(c.script);
    EXPECT_EQ(RunInstaller(nullptr), 0);
    EXPECT_EQ(Captions(), c.notices);
    if (c.folder == kNone) {
      EXPECT_FALSE(winsim::Exists(kFolder));
    } else if (c.folder == kEmpty) {
      EXPECT_TRUE(winsim::IsFolder(kFolder) && winsim::FolderEntries(kFolder).empty());
    }
    for (const std::string& f : c.made) EXPECT_TRUE(winsim::Exists(f)) << f;
    for (const std::string& f : c.absent) EXPECT_FALSE(winsim::Exists(f)) << f;
    for (const std::string& line : c.came) EXPECT_NE(At(line), -1) << line;
    for (const std::string& line : c.never) EXPECT_EQ(At(line), -1) << line;
  }
}

// A folder the location dialog refuses brings it back with the proposal.
TEST_F(InstallSequence, ARefusedFolderBringsTheDialogBackWithTheProposal) {
  for (const auto& c : {std::make_pair("C:\\No\\Such", "ERROR 16"), std::make_pair("A:\\", "ERROR 12")}) {
    SCOPED_TRACE(c.first);
    Fresh();
    winsim::SetDriveType('A', DRIVE_REMOVABLE);
    winsim::QueueBrowse(c.first);
    winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Escape()});
    EXPECT_EQ(RunInstaller(nullptr), 0);
    EXPECT_EQ(Captions(), std::vector<std::string>{c.second});
    ASSERT_EQ(winsim::Dialogs().size(), 2u);
    EXPECT_EQ(winsim::Dialogs()[1].textsAtOpen[2], kFolder);
    EXPECT_TRUE(winsim::DialogEnabled(winsim::Dialogs()[1], IDC_CHANGE));
  }
}

TEST_F(InstallSequence, OnAnotherDriveWithoutATempFolderFilesAreStagedAtThatDrivesRoot) {
  winsim::SetDriveType('E', DRIVE_FIXED);
  winsim::MakeFolders("E:\\Tools");
  winsim::SetTempPath("");
  winsim::QueueBrowse("E:\\Tools");
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Enter()});
  EXPECT_EQ(RunInstaller(nullptr), 0);
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 3"});
  EXPECT_NE(At("create E:\\data.tmp"), -1);
  EXPECT_EQ(At("create C:\\data.tmp"), -1);
  EXPECT_FALSE(winsim::Exists("E:\\data.tmp"));
  EXPECT_EQ(winsim::FileData("E:\\Tools\\Quillmark\\Sample1.scp"), Content(kPayloadTable[1]));
}

// Rows that cannot be written do not stop the run: the registry entries, the
// uninstaller and the launch all still happen.
TEST_F(InstallSequence, TheRunGoesOnPastRowsThatCannotBeWritten) {
  struct Case {
    const char* what;
    void (*arrange)();
    std::vector<std::string> notices;
    const char* uninstaller;
  } cases[] = {
      {"a resource missing mid-table", [] { winsim::RemoveResource(112); },
       {"ERROR 60"}, "C:\\WINDOWS\\uninst1.exe"},
      {"a Windows directory that cannot be written",
       [] { winsim::SetWindowsDirectory("C:\\Gone"); }, {}, nullptr},
  };
  for (const Case& c : cases) {
    Fresh();
    c.arrange();
    winsim::Script({winsim::Enter(), winsim::Enter()});
    EXPECT_EQ(RunInstaller(nullptr), 0) << c.what;
    EXPECT_EQ(Captions(), c.notices) << c.what;
    EXPECT_TRUE(winsim::Exists(In(kFolder, "Layout15.stp"))) << c.what;
    EXPECT_EQ(winsim::RegString("HKCU\\Software\\Kestrel\\Quillmark\\Settings", "Installed"),
              "C:\\Downloads\\Quil.exe") << c.what;
    EXPECT_EQ(winsim::RegString("HKLM\\SOFTWARE\\Kestrel", "Path"), kFolder) << c.what;
    if (c.uninstaller) {
      EXPECT_TRUE(winsim::Exists(c.uninstaller)) << c.what;
    }
    EXPECT_NE(At("launch open Quillmark.exe"), -1) << c.what;
    EXPECT_TRUE(winsim::IsRunning(In(kFolder, "Quillmark.exe"))) << c.what;
  }
}

TEST_F(InstallSequence, AUserWithoutMachineWideAccessStillInstalls) {
  winsim::DenyRegistry("HKLM", winsim::kDenyWrite);
  winsim::Script({winsim::Enter(), winsim::Enter()});
  EXPECT_EQ(RunInstaller(nullptr), 0);
  EXPECT_TRUE(winsim::Notices().empty());
  EXPECT_EQ(winsim::RegNumber(kSettings, "nolmaccess"), 1u);
  EXPECT_EQ(winsim::RegString(kSettings, "Path"), kFolder);
  EXPECT_FALSE(winsim::RegKeyExists(kAppPath));
  EXPECT_FALSE(winsim::RegKeyExists(kUninstall));
  EXPECT_TRUE(winsim::Exists(In(kFolder, "uninst1.exe")));
  EXPECT_FALSE(winsim::Exists("C:\\WINDOWS\\uninst1.exe"));
  EXPECT_TRUE(winsim::Exists("C:\\WINDOWS\\wmon03.exe"));
  EXPECT_NE(At("launch"), -1);
}

TEST_F(InstallSequence, AnEarlierInstallIsFoundThroughItsCarriedOverPath) {
  // Recorded per-user by an older run; carried to the machine key before it is read.
  winsim::PutFile("C:\\Apps\\Quillmark\\Quillmark.exe", winsim::VersionedProgram(0x00010000, 0));
  winsim::SetRegString(kSettings, "Path", "C:\\Apps\\Quillmark");
  winsim::QueueBrowse("D:\\Elsewhere");
  winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Enter()});
  EXPECT_EQ(RunInstaller(nullptr), 0);
  ASSERT_FALSE(winsim::Dialogs().empty());
  const winsim::DialogRecord& location = winsim::Dialogs()[0];
  EXPECT_EQ(location.textsAtOpen[2], "C:\\Apps\\Quillmark");
  EXPECT_FALSE(winsim::DialogEnabled(location, IDC_CHANGE));
  EXPECT_EQ(location.ignoredPresses, std::vector<int>{IDC_CHANGE});
  EXPECT_TRUE(winsim::Browses().empty());
  EXPECT_EQ(winsim::FileData("C:\\Apps\\Quillmark\\Quillmark.exe"), "MZ the main program");
  EXPECT_EQ(winsim::RegString(kMachine, "Path"), "C:\\Apps\\Quillmark");
}

TEST_F(InstallSequence, ASecondRunWhileTheProgramStillRunsChangesNothing) {
  winsim::Script({winsim::Enter(), winsim::Enter()});
  RunInstaller(nullptr);
  ASSERT_TRUE(winsim::IsRunning(In(kFolder, "Quillmark.exe"))) << "the first run started it";
  winsim::PutFile(In(kFolder, "hints.txt"), "the user's own notes");

  ResetInstallerState();
  size_t second = winsim::Dialogs().size();
  winsim::Script({winsim::Enter(), winsim::Enter()});
  EXPECT_EQ(RunInstaller(nullptr), 0);
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 4"});
  ASSERT_GT(winsim::Dialogs().size(), second);
  const winsim::DialogRecord& location = winsim::Dialogs()[second];
  EXPECT_EQ(location.templateId, IDD_LOCATION);
  EXPECT_FALSE(winsim::DialogEnabled(location, IDC_CHANGE)) << "found the first install";
  EXPECT_EQ(winsim::FileData(In(kFolder, "hints.txt")), "the user's own notes");

  // Once the program is closed the same run goes through.
  winsim::EndProgram(In(kFolder, "Quillmark.exe"));
  ResetInstallerState();
  winsim::Script({winsim::Enter(), winsim::Enter()});
  EXPECT_EQ(RunInstaller(nullptr), 0);
  EXPECT_EQ(Captions(), std::vector<std::string>{"ERROR 4"}) << "no notice this time";
  EXPECT_EQ(winsim::FileData(In(kFolder, "hints.txt")), "content of hints.txt" + std::string(300, ' ') + "end\r\n");
}

// The backdrop owns every dialog and the launch; notices never have an owner,
// so they still come up when there is no backdrop. Without one the run goes
// on all the same.
TEST_F(InstallSequence, TheBackdropOwnsEveryDialogButNoNotice) {
  for (const char* failing : {"", "RegisterClassExA", "CreateWindowExA"}) {
    SCOPED_TRACE(*failing ? failing : "a backdrop");
    Fresh();
    winsim::DefineIcon(IDI_QUILLMARK);
    if (*failing) winsim::FailCall(failing, 1, ERROR_NOT_ENOUGH_MEMORY);
    winsim::QueueBrowse("C:\\No\\Such");
    winsim::Script({winsim::Press(IDC_CHANGE), winsim::Enter(), winsim::Enter(), winsim::Enter()});
    EXPECT_EQ(RunInstaller(winsim::ModuleHandle()), 0);

    HWND backdrop = g_state.backdropWindow;
    if (*failing) {
      EXPECT_EQ(backdrop, nullptr);
      EXPECT_TRUE(winsim::Windows().empty());
    } else {
      ASSERT_NE(backdrop, nullptr);
      ASSERT_NE(winsim::WindowOf(backdrop), nullptr);
      EXPECT_EQ(winsim::WindowOf(backdrop)->className, "Quillmark");
      EXPECT_TRUE(IsWindow(backdrop)) << "nothing in the run destroys it";
      EXPECT_FALSE(winsim::TextOuts().empty()) << "painted";
    }
    std::vector<int> owned;
    for (const winsim::DialogRecord& d : winsim::Dialogs()) {
      EXPECT_EQ(d.owner, backdrop) << "dialog " << d.templateId;
      owned.push_back(d.templateId);
    }
    EXPECT_EQ(owned, (std::vector<int>{IDD_LOCATION, IDD_LOCATION, IDD_AGREEMENT, IDD_PROGRESS}));
    ASSERT_EQ(Captions(), std::vector<std::string>{"ERROR 16"});
    EXPECT_EQ(winsim::Notices()[0].owner, nullptr);
    EXPECT_NE(At("launch open Quillmark.exe"), -1) << "the run went on to the end";
  }
}

// The first payload file that is there but not whole, or "".
std::string PartialPayloadFile() {
  const std::string folder = std::string(kFolder) + "\\";
  std::vector<std::pair<std::string, std::string>> files = {
      {folder + "Quillmark.exe", "MZ the main program"}};
  for (const PayloadEntry& row : kPayloadTable) {
    std::string content = row.resourceId == kAgreementResource ? "Quillmark 2003\r\nAgreement.\r\n"
                                                                 : Content(row);
    if (row.folder != kWindowsDirectory) files.push_back({folder + row.name, content});
    if (row.folder != kInstallFolder) files.push_back({std::string("C:\\WINDOWS\\") + row.name, content});
  }
  for (const auto& f : files)
    if (winsim::Exists(f.first) && winsim::FileData(f.first) != f.second) return f.first;
  return "";
}

// Fails each faultable call of a whole run in turn, with each of the errors
// a real system gives most: every run must still end with 0, with no handle
// or key left open, no system text or shell memory kept, nothing misused, and
// no file of the payload that is there without being whole.
TEST_F(InstallSequence, EveryRunWithOneFailingCallEndsSoundly) {
  winsim::Script({winsim::Enter(), winsim::Enter()});
  RunInstaller(nullptr);
  int calls = winsim::FaultableCallCount();
  ASSERT_GT(calls, 100);
  const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
                          ERROR_PATH_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY};
  for (int n = 1; n <= calls; ++n) {
    for (DWORD error : errors) {
      Fresh();
      winsim::FailNthCall(n, error);
      winsim::Script({winsim::Enter(), winsim::Enter(), winsim::Escape(), winsim::Escape(),
                      winsim::Escape()});
      std::string run = "call " + std::to_string(n) + " failing with " + std::to_string(error);
      ASSERT_EQ(RunInstaller(nullptr), 0) << run;
      ASSERT_EQ(Leftovers(), "") << run;
      ASSERT_EQ(PartialPayloadFile(), "") << run;
    }
  }
}

// ---- a run killed at any moment, then run again -----------------------------

const char kUserFile[] = "C:\\Program Files\\Quillmark\\My Screenplay.scp";

struct MachineState {
  std::map<std::string, winsim::FileState> files;
  std::map<std::string, winsim::RegState> registry;
};

MachineState Snapshot() { return {winsim::MachineFiles(), winsim::RegistryValues()}; }

// Read-only files whose contents are not yet those of a whole install.
int TornReadOnlyFiles(const std::map<std::string, winsim::FileState>& whole) {
  int torn = 0;
  for (const auto& f : winsim::MachineFiles()) {
    auto w = whole.find(f.first);
    torn += (f.second.attributes & FILE_ATTRIBUTE_READONLY) && w != whole.end() &&
            w->second.data != f.second.data;
  }
  return torn;
}

// Names the first difference between two maps, or "" when they are equal.
template <typename Map>
std::string FirstDifference(const Map& expected, const Map& actual) {
  for (const auto& e : expected) {
    auto a = actual.find(e.first);
    if (a == actual.end()) return e.first + " is missing";
    if (!(a->second == e.second)) return e.first + " differs";
  }
  for (const auto& a : actual)
    if (!expected.count(a.first)) return a.first + " is left over";
  return "";
}

// Kills the run after each number of faultable calls in turn, as a user
// ending the task or a power cut would, then runs a fresh process with the
// default answers on the same machine; once on a machine without the product,
// once over an earlier install. The second run must complete and leave the
// machine as one uninterrupted run does, the user's own file untouched.
// Two things follow from the system's own rules and are checked as such: a
// run killed after it launched Quillmark.exe leaves that program running, so
// the next run is refused with ERROR 4 until the user closes it; and a run
// killed after it recorded "Installed" in the settings key has that value
// carried to the machine key by the next run's start-up, as every later run
// does.
TEST_F(InstallSequence, ARunKilledAtAnyCallIsMadeWholeByTheNextRun) {
  static const std::string program = In(kFolder, "Quillmark.exe");
  const std::string installed = "C:\\Downloads\\Quil.exe";
  struct Start {
    const char* what;
    void (*arrange)();
  } starts[] = {
      {"first install", [] { winsim::PutFile(kUserFile, "FADE IN:\r\n", FILE_ATTRIBUTE_READONLY); }},
      {"over an earlier install",
       [] {
         winsim::PutFile(kUserFile, "FADE IN:\r\n", FILE_ATTRIBUTE_READONLY);
         winsim::PutFile(program, winsim::VersionedProgram(0x00010000, 0), FILE_ATTRIBUTE_READONLY);
         winsim::PutFile(In(kFolder, "Layout01.stp"), "earlier layout", FILE_ATTRIBUTE_READONLY);
         winsim::PutFile(In(kFolder, "words.dct"), "earlier dictionary");
         winsim::SetRegString(kMachine, "Path", kFolder);
         winsim::SetRegString(kSettings, "Installed", "C:\\Old\\Quil.exe");
         winsim::SetRegString(kUninstall, "UninstallString", "C:\\Old\\uninst1.exe");
       }},
  };
  for (const Start& start : starts) {
    Fresh();
    start.arrange();
    winsim::Script({winsim::Enter(), winsim::Enter()});
    RunInstaller(nullptr);
    const int calls = winsim::FaultableCallCount();
    const MachineState whole = Snapshot();
    ASSERT_TRUE(winsim::IsRunning(program)) << start.what;
    int refusedWhileRunning = 0;
    struct {
      int staged, image, tornReadOnly, noProgram;
    } leftovers = {0, 0, 0, 0};
    for (int n = 0; n <= calls; ++n) {
      Fresh();
      start.arrange();
      winsim::Script({winsim::Enter(), winsim::Enter()});
      bool killed = winsim::RunKilledAfter(n, [] { RunInstaller(nullptr); });
      std::string run = std::string(start.what) + ", killed after " + std::to_string(n) +
                        " calls, at " + winsim::KilledAt();
      ASSERT_TRUE(killed) << run;
      ASSERT_EQ(winsim::OpenHandleCount(), 0) << run;
      bool recorded = winsim::RegString(kSettings, "Installed") == installed;
      leftovers.staged += winsim::Exists("C:\\TEMP\\data.tmp");
      leftovers.image += winsim::Exists(In(kFolder, "image.tmp"));
      leftovers.tornReadOnly += TornReadOnlyFiles(whole.files);
      leftovers.noProgram += !winsim::Exists(program);

      ResetInstallerState();
      winsim::Script({winsim::Enter(), winsim::Enter()});
      EXPECT_EQ(RunInstaller(nullptr), 0) << run;
      if (Captions() == std::vector<std::string>{"ERROR 4"} && winsim::IsRunning(program)) {
        // The killed run had started the program; the user closes it first.
        ++refusedWhileRunning;
        winsim::EndProgram(program);
        winsim::EndProcess();
        ResetInstallerState();
        winsim::Script({winsim::Enter(), winsim::Enter()});
        EXPECT_EQ(RunInstaller(nullptr), 0) << run;
      }
      EXPECT_TRUE(winsim::Notices().empty()) << run << ": " << winsim::Notices().front().caption;
      EXPECT_NE(At("launch"), -1) << run << ": the next run did not complete";
      EXPECT_TRUE(winsim::IsRunning(program)) << run;

      MachineState after = Snapshot();
      EXPECT_EQ(winsim::FileData(kUserFile), "FADE IN:\r\n") << run;
      EXPECT_FALSE(winsim::Exists("C:\\TEMP\\data.tmp")) << run;
      EXPECT_FALSE(winsim::Exists(In(kFolder, "image.tmp"))) << run;
      std::string files = FirstDifference(whole.files, after.files);
      EXPECT_EQ(files, "") << run;
      std::map<std::string, winsim::RegState> registry = whole.registry;
      if (recorded)
        registry["HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrel\\[Installed]"] =
            winsim::RegState{REG_SZ, installed + '\0'};
      std::string values = FirstDifference(registry, after.registry);
      EXPECT_EQ(values, "") << run;
      if (!files.empty() || !values.empty()) break;  // one run's account is enough
    }
    // Only a run killed after the launch leaves the program running.
    EXPECT_EQ(refusedWhileRunning, 1) << start.what;
    // The kills did leave what the next run has to clear away.
    EXPECT_GT(leftovers.staged, 0) << start.what;
    EXPECT_GT(leftovers.image, 0) << start.what;
    EXPECT_GT(leftovers.tornReadOnly, 0) << start.what;
    EXPECT_GT(leftovers.noProgram, 0) << start.what;
  }
}

}  // namespace
