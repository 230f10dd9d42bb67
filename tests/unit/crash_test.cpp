#include "installer/crash/crash_filter.h"

#include <cstring>
#include <string>
#include <vector>

#include "fixture.h"
#include "installer/crash/report_upload.h"
#include "installer/install.h"
#include "installer/integration/registry.h"

namespace {

const char kReportKey[] = "HKCU\\Software\\Kestrel\\Quillmark\\report";
const char kProductKey[] = "HKCU\\Software\\Kestrel\\Quillmark";
const char kNoticeText[] = "An unknown error has occured -- installation aborted";
const DWORD kAccessViolation = 0xC0000005;
const DWORD kTenMinutes = 600000;

// The report as the server receives it, blanks already "+".
std::string Sent(const std::string& name, const std::string& address) {
  return "log=INSTALLER+ERROR%0A%0D" + name + "%0A%0Dat+" + address + "%0A%0DBuild:+037%0A%0D";
}

class CrashReport : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ComposeKeyPaths();
    SetUnhandledExceptionFilter(CrashFilter);
    // What the report key and the dial-up setting hold each time a request
    // reaches the server.
    keyAtArrival.clear();
    dialAtArrival.clear();
    winsim::WhenRequestArrives([this] {
      std::string values;
      for (const std::string& name : winsim::RegValueNames(kReportKey))
        values += name + "=" + winsim::RegString(kReportKey, name) + ";";
      keyAtArrival.push_back(values);
      dialAtArrival.push_back(
          winsim::RegValueExists(winsim::kInternetSettingsKey, "EnableAutodial")
              ? static_cast<int>(winsim::RegNumber(winsim::kInternetSettingsKey, "EnableAutodial"))
              : -1);
    });
  }
  static std::vector<std::string> Bodies() {
    std::vector<std::string> out;
    for (const winsim::InetExchange& e : winsim::InetExchanges())
      if (e.sent) out.push_back(e.body);
    return out;
  }
  // Uploads a report of the caller's; the body as it was sent.
  static bool Upload(std::string* sent = nullptr) {
    char body[] = "log=INSTALLER ERROR%0A%0D";
    bool ok = UploadCrashReport(body);
    if (sent) *sent = body;
    return ok;
  }

  std::vector<std::string> keyAtArrival;
  std::vector<int> dialAtArrival;  // -1: no dial-up value
};

TEST_F(CrashReport, ACrashIsAnnouncedRecordedDeliveredAndCleared) {
  struct Case {
    DWORD code;
    ULONG_PTR address;
    const char* name;
    const char* addressLine;
  };
  const Case cases[] = {
      {kAccessViolation, 0x00ABCDEF, "EXCEPTION_ACCESS_VIOLATION", "00ABCDEF"},
      // The longest name: the longest report.
      {0xC0000025, 0xFFFFFFFF, "EXCEPTION_NONCONTINUABLE_EXCEPTION", "FFFFFFFF"},
      {0xC00000FD, 0, "EXCEPTION_STACK_OVERFLOW", "00000000"},
      {0x80000002, 0x10, "EXCEPTION_DATATYPE_MISALIGNMENT", "00000010"},
      // A guard page and a C++ exception: outside the table.
      {0x80000001, 0x00401000, "<UNKNOWN ERROR>", "00401000"},
      {0xE06D7363, 0x7C81EB33, "<UNKNOWN ERROR>", "7C81EB33"},
      // Only the address's low 32 bits fit the report.
      {kAccessViolation, static_cast<ULONG_PTR>(0x7FF612345678ABCDull), "EXCEPTION_ACCESS_VIOLATION",
       "5678ABCD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + std::string(" at ") + c.addressLine);
    Fresh();
    EXPECT_EQ(winsim::RaiseUnhandledException(c.code, c.address), EXCEPTION_CONTINUE_SEARCH);

    ASSERT_EQ(winsim::Notices().size(), 1u);
    const winsim::Notice& n = winsim::Notices()[0];
    EXPECT_EQ(n.owner, nullptr);
    EXPECT_EQ(n.text, kNoticeText);
    EXPECT_EQ(n.caption, "Error Notice");
    EXPECT_EQ(n.type, 0u) << "the plain OK button and no icon";
    // The user hears of the crash first: the record may not get far.
    EXPECT_LT(winsim::JournalIndex("notice Error Notice"), winsim::JournalIndex("reg "));

    ASSERT_EQ(keyAtArrival.size(), 1u);
    EXPECT_EQ(keyAtArrival[0], "log00=INSTALLER ERROR;log01=" + std::string(c.name) +
                                   ";log02=at " + c.addressLine + ";log03=Build: 037;");
    std::string name = c.name;
    for (char& ch : name)
      if (ch == ' ') ch = '+';
    EXPECT_EQ(Bodies(), std::vector<std::string>{Sent(name, c.addressLine)});
    EXPECT_LE(Bodies()[0].size(), 98u);
    if (c.code == 0xC0000025) {
      EXPECT_EQ(Bodies()[0].size(), 98u);
    }

    EXPECT_TRUE(winsim::Pauses().empty());
    EXPECT_FALSE(winsim::RegKeyExists(kReportKey)) << "removed once delivered";
    EXPECT_TRUE(winsim::RegKeyExists(kProductKey)) << "only the report key goes";
  }
}

// What the server and the network between need of the request, argument by
// argument (winsim's report server answers whatever reaches it).
TEST_F(CrashReport, TheReportIsOnePlainFormPostToTheReportServerOnPort80) {
  winsim::RaiseUnhandledException(kAccessViolation, 0x00ABCDEF);
  ASSERT_EQ(winsim::InetExchanges().size(), 1u);
  const winsim::InetExchange& e = winsim::InetExchanges()[0];
  auto text = [](const std::optional<std::string>& t) { return t ? '"' + *t + '"' : "null"; };
  auto number = [](DWORD n) { return std::to_string(n); };
  const struct {
    std::string actual, expected;
    const char* why;
  } arguments[] = {
      {text(e.agent), "\"quil\"", "the name the server knows the installer by"},
      {number(e.accessType) + text(e.proxy) + text(e.proxyBypass), "0nullnull",
       "the user's own proxy settings: a report gets out from behind a proxy"},
      {number(e.openFlags), "0", "calls that finish before they return"},
      {text(e.host), "\"" QUIL_REPORT_HOST "\"", "the report server the build names"},
      {number(e.port) + " " + number(e.service), "80 3", "HTTP on the web port"},
      {text(e.user) + text(e.password), "\"\"\"\"", "no credentials, sent empty, not null"},
      {text(e.verb) + " " + text(e.object), "\"POST\" \"/sreport.asp\"", "the page that takes reports"},
      {text(e.version) + text(e.referrer) + number(e.acceptTypes), "nullnull0", "library defaults"},
      {number(e.flags), number(0x84003200u),
       "never from or into a cache, no certificate judged, no dialog on a crash's path"},
      {text(e.header) + number(e.headerLength),
       "\"Content-Type: application/x-www-form-urlencoded\"47", "a form, its length exact"},
      {number(e.reads), "1", "one read of the reply"},
  };
  for (const auto& a : arguments) EXPECT_EQ(a.actual, a.expected) << a.why;
  EXPECT_EQ(e.body.find('\0'), std::string::npos) << "the body goes without its terminator";
}

TEST_F(CrashReport, PointersThatCannotBeReadArePassedOnUntouched) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = kAccessViolation;
  EXCEPTION_POINTERS pointers = {&record, nullptr};
  EXCEPTION_POINTERS withoutRecord = {nullptr, nullptr};
  struct Case {
    const char* what;
    EXCEPTION_POINTERS* pointers;
    const void* unreadable;
  };
  const Case cases[] = {
      {"null pointers", nullptr, nullptr},
      {"unreadable pointers", &pointers, &pointers.ContextRecord},
      {"no record", &withoutRecord, nullptr},
      {"an unreadable record", &pointers, &record.ExceptionAddress},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    if (c.unreadable) winsim::MarkUnreadable(c.unreadable, 1);
    EXPECT_EQ(CrashFilter(c.pointers), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_TRUE(winsim::Notices().empty());
    EXPECT_TRUE(winsim::InetExchanges().empty());
    EXPECT_FALSE(winsim::RegKeyExists(kReportKey));
    EXPECT_TRUE(winsim::Pauses().empty());
  }
}

TEST_F(CrashReport, AReportKeyThatCannotBeWrittenStillLetsTheReportGo) {
  for (winsim::RegDenial denial : {winsim::kDenyOpen, winsim::kDenyWrite}) {
    SCOPED_TRACE(denial == winsim::kDenyOpen ? "cannot be opened" : "cannot be written");
    Fresh();
    winsim::DenyRegistry(kReportKey, denial);
    winsim::RaiseUnhandledException(kAccessViolation, 0x00ABCDEF);
    EXPECT_EQ(winsim::Notices().size(), 1u);
    EXPECT_EQ(keyAtArrival, std::vector<std::string>{""});
    EXPECT_EQ(Bodies(), std::vector<std::string>{Sent("EXCEPTION_ACCESS_VIOLATION", "00ABCDEF")});
    EXPECT_FALSE(winsim::RegKeyExists(kReportKey));
  }
}

TEST_F(CrashReport, RefusedDeliveriesAreRetriedTenMinutesApartWithTheSameReport) {
  struct Case {
    const char* what;
    int refused;
    winsim::InetStep step;  // refused step, or kInetRead with a wrong reply
    bool wrongReply;
  };
  const Case cases[] = {
      {"no root handle", 3, winsim::kInetOpen, false},
      {"no connection", 1, winsim::kInetConnect, false},
      {"no request", 2, winsim::kInetRequest, false},
      {"send failed", 4, winsim::kInetSend, false},
      {"read failed", 1, winsim::kInetRead, false},
      {"the server busy", 5, winsim::kInetRead, true},
  };
  const std::string report = Sent("EXCEPTION_ACCESS_VIOLATION", "00ABCDEF");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    for (int i = 0; i < c.refused; ++i) {
      if (c.wrongReply)
        winsim::QueueServerReply("busy, try later");
      else
        winsim::RefuseInet(c.step);
    }
    winsim::RaiseUnhandledException(kAccessViolation, 0x00ABCDEF);
    EXPECT_EQ(winsim::Pauses(), std::vector<DWORD>(c.refused, kTenMinutes));
    EXPECT_EQ(winsim::InetExchanges().size(), static_cast<size_t>(c.refused + 1));
    for (const std::string& body : Bodies()) EXPECT_EQ(body, report);
    EXPECT_EQ(Bodies().size(), c.step <= winsim::kInetRequest ? 1u : c.refused + 1u);
    for (const std::string& values : keyAtArrival)
      EXPECT_EQ(values, "log00=INSTALLER ERROR;log01=EXCEPTION_ACCESS_VIOLATION;log02=at "
                        "00ABCDEF;log03=Build: 037;")
          << "the record stays while the report waits";
    EXPECT_FALSE(winsim::RegKeyExists(kReportKey));
    EXPECT_EQ(winsim::Notices().size(), 1u) << "announced once";
  }
}

// WININET is loaded at the start of each attempt: without it the attempt
// fails as any refusal does, and the next one, ten minutes on, delivers.
TEST_F(CrashReport, AnAttemptWithoutItsInternetLibraryFailsAndTheNextDelivers) {
  winsim::FailCall("LoadLibraryExA", 1, ERROR_MOD_NOT_FOUND);
  winsim::RaiseUnhandledException(kAccessViolation, 0x00ABCDEF);
  EXPECT_EQ(winsim::Pauses(), std::vector<DWORD>{kTenMinutes});
  EXPECT_EQ(Bodies(), std::vector<std::string>{Sent("EXCEPTION_ACCESS_VIOLATION", "00ABCDEF")});
  EXPECT_EQ(winsim::FailedCalls(), std::vector<std::string>{"LoadLibraryExA"});
  EXPECT_EQ(winsim::LibraryReferences("WININET.DLL"), 0);
  EXPECT_FALSE(winsim::RegKeyExists(kReportKey));
}

TEST_F(CrashReport, OnlyTheTwoBytesOKAcceptTheReport) {
  struct Case {
    std::string reply;
    DWORD status;
    bool readFails;
    bool accepted;
  };
  const Case cases[] = {
      {"OK", 200, false, true},
      {"OK", 500, false, true},  // the status is not examined
      {"OK\r\n", 200, false, false},
      {"ok", 200, false, false},
      {"O", 200, false, false},
      {"", 200, false, false},
      {"KO", 200, false, false},
      {"oK", 200, false, false},
      {"OK" + std::string(80, ' '), 200, false, false},
      {"OK", 200, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("reply \"" + c.reply + "\" status " + std::to_string(c.status) +
                 (c.readFails ? ", read fails" : ""));
    Fresh();
    winsim::SetServerReply(c.reply, c.status);
    if (c.readFails) winsim::RefuseInet(winsim::kInetRead);
    EXPECT_EQ(Upload(), c.accepted);
    ASSERT_EQ(winsim::InetExchanges().size(), 1u);
    EXPECT_EQ(winsim::InetExchanges()[0].reads, 1) << "one read, never a second";
  }
}

TEST_F(CrashReport, EveryAttemptClosesWhatItOpenedInnermostFirst) {
  typedef std::vector<std::string> Closes;
  const Closes all = {"request", "connection", "root"};
  struct Case {
    const char* what;
    int refused;  // a winsim::InetStep, or -1 for none
    Closes closes;
  };
  const Case cases[] = {
      {"open refused", winsim::kInetOpen, {}},
      {"connect refused", winsim::kInetConnect, {"root"}},
      {"request refused", winsim::kInetRequest, {"connection", "root"}},
      {"send refused", winsim::kInetSend, all},
      {"read refused", winsim::kInetRead, all},
      {"delivered", -1, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    winsim::SetRegNumber(winsim::kInternetSettingsKey, "EnableAutodial", 1);
    if (c.refused >= 0) winsim::RefuseInet(static_cast<winsim::InetStep>(c.refused));
    EXPECT_EQ(Upload(), c.refused < 0);
    EXPECT_EQ(winsim::InetCloses(), c.closes);
    EXPECT_EQ(winsim::RegNumber(winsim::kInternetSettingsKey, "EnableAutodial"), 1u)
        << "dial-up put back on every path";
  }
}

TEST_F(CrashReport, DialUpIsOffDuringTheAttemptAndAnEarlierSettingIsPutBack) {
  struct Case {
    const char* what;
    int before;  // -1: no value
    int after;
  };
  const Case cases[] = {
      {"on", 1, 1},
      {"another non-zero setting", 5, 5},
      {"off", 0, 0},
      {"absent: left present with 0", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh();
    if (c.before >= 0)
      winsim::SetRegNumber(winsim::kInternetSettingsKey, "EnableAutodial",
                           static_cast<DWORD>(c.before));
    EXPECT_TRUE(Upload());
    EXPECT_EQ(dialAtArrival, std::vector<int>{0});
    ASSERT_TRUE(winsim::RegValueExists(winsim::kInternetSettingsKey, "EnableAutoDial"));
    EXPECT_EQ(winsim::RegType(winsim::kInternetSettingsKey, "EnableAutoDial"),
              static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(winsim::RegNumber(winsim::kInternetSettingsKey, "EnableAutoDial"),
              static_cast<DWORD>(c.after));
    EXPECT_EQ(winsim::RegNumber(winsim::kInternetSettingsKey, "ProxyEnable"), 0u);
  }

  // A key that cannot be opened: -1, nothing stored or put back, the report
  // still goes.
  Fresh();
  winsim::DenyRegistry(winsim::kInternetSettingsKey, winsim::kDenyOpen);
  EXPECT_EQ(SetAutoDial(0), -1);
  EXPECT_TRUE(Upload());
  EXPECT_EQ(dialAtArrival, std::vector<int>{-1});
  EXPECT_FALSE(winsim::RegValueExists(winsim::kInternetSettingsKey, "EnableAutoDial"));
  EXPECT_EQ(winsim::JournalIndex("reg set HKEY_CURRENT_USER\\Software\\Microsoft"), -1);
}

TEST_F(CrashReport, BlanksBecomePlusInPlaceSoARetrySendsTheSameText) {
  std::string first, second;
  winsim::SetServerReply("no");
  EXPECT_FALSE(Upload(&first));
  char body[] = "log=INSTALLER ERROR%0A%0D";
  EXPECT_FALSE(UploadCrashReport(body));
  EXPECT_FALSE(UploadCrashReport(body));
  EXPECT_EQ(std::string(body), "log=INSTALLER+ERROR%0A%0D");
  EXPECT_EQ(first, body);
  EXPECT_EQ(Bodies(), std::vector<std::string>(3, "log=INSTALLER+ERROR%0A%0D"));
}

TEST_F(CrashReport, TheRunInstallsTheFilterBeforeAnythingCanFault) {
  ResetInstallerState();
  SetUnhandledExceptionFilter(nullptr);
  winsim::Script({winsim::Escape()});
  EXPECT_EQ(RunInstaller(nullptr), 0);
  ASSERT_EQ(winsim::InstalledFilter(), &CrashFilter);
  // The run's own key paths name the report key.
  winsim::RaiseUnhandledException(kAccessViolation, 0x00401000);
  ASSERT_FALSE(winsim::Notices().empty());
  EXPECT_EQ(winsim::Notices().back().caption, "Error Notice");
  EXPECT_EQ(keyAtArrival.size(), 1u);
  EXPECT_NE(keyAtArrival[0].find("log02=at 00401000;"), std::string::npos);
  EXPECT_FALSE(winsim::RegKeyExists(kReportKey));
}

}  // namespace
