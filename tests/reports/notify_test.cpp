// Notices: which are sent, held or folded into the digest within the
// bounds; what one says, escaped; and the mail handed to a sendmail that
// stands in for the machine's.
#include "reports/notify.h"

#include <fcntl.h>

#include <fstream>
#include <sstream>

#include "reports/group_state.h"
#include "tests/reports/store_fixture.h"

namespace reports {
namespace {

TEST(Notify, TheBoundsOfAnHour) {
  const NoticeKind N = NoticeKind::kNew, R = NoticeKind::kRegressed, D = NoticeKind::kDigest;
  const struct {
    const char* why;
    std::vector<std::pair<NoticeKind, int64_t>> due;  // kind, group
    RecentNotices recent;
    int perHour;
    const char* steps;  // S send, H hold, F fold into the digest
  } cases[] = {
      {"within the bound, each is sent", {{N, 1}, {N, 2}}, {}, 3, "SS"},
      {"past it, new groups go into the digest", {{N, 1}, {N, 2}, {N, 3}, {N, 4}}, {}, 2, "SSFF"},
      {"what went out this hour counts", {{N, 1}, {N, 2}}, {2, {7, 8}, false}, 3, "SF"},
      {"a regression is never folded: it waits", {{R, 1}}, {3, {7, 8, 9}, false}, 3, "H"},
      {"one notice a group an hour", {{R, 7}, {N, 2}}, {1, {7}, false}, 5, "HS"},
      {"in one pass too", {{N, 4}, {R, 4}}, {}, 5, "SH"},
      {"a digest an hour", {{D, 0}}, {0, {}, true}, 3, "H"},
      {"a digest does not take a notice's room", {{D, 0}, {N, 1}}, {3, {5, 6, 7}, false}, 3, "SF"},
      {"the digest's own room is one", {{D, 0}, {D, 0}}, {}, 3, "SH"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<Notice> due;
    for (const auto& [kind, group] : c.due) {
      Notice n;
      n.kind = kind;
      n.groupId = group;
      due.push_back(n);
    }
    std::string steps;
    for (NoticeStep s : PlanNotices(due, c.recent, c.perHour))
      steps += s == NoticeStep::kSend ? 'S' : s == NoticeStep::kHold ? 'H' : 'F';
    EXPECT_EQ(steps, c.steps);
  }
}

// Every line printable ASCII: nothing from a report ends a header or a line.
bool PrintableLines(const std::string& text) {
  for (char c : text)
    if (c != '\n' && (c < 0x20 || c > 0x7E)) return false;
  return true;
}

TEST(Notify, ANoticeSaysWhatThePageSaysEscaped) {
  std::istringstream in(
      "quil-symbols 1\nbuild 39\nimage-base 00400000\ncode 00001000 00007000\n"
      "00001000 Crash\rBcc: victim@example.org\n00002000 RunInstaller(HINSTANCE__*)\n"
      "00003000 " + std::string(4000, '\x7f') + "\nend\n");
  std::map<unsigned, SymbolMap> maps;
  std::string error;
  ASSERT_TRUE(ReadSymbolMap(in, &maps[39], &error)) << error;
  Group g;
  g.exception = "EXCEPTION_\nBcc: x@example.org\r\n<b>\"";
  g.address = 0x00401010;
  g.count = 12;
  g.firstMs = 86400000;
  g.lastMs = 2 * 86400000;
  g.firstBuild = 37;
  g.build = 39;
  g.fixedBuild = 38;
  g.regressedBuild = 39;
  const NoticeMessage m =
      ComposeNotice(NoticeKind::kRegressed, g, 39, maps, "http://reports.example:8080", 3 * 86400000);
  const std::string mail = MailText("maker@example.org", m);
  const std::string headers = mail.substr(0, mail.find("\n\n"));
  EXPECT_TRUE(PrintableLines(mail));
  std::istringstream lines(headers);
  std::vector<std::string> names;
  for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find(':')));
  EXPECT_EQ(names, (std::vector<std::string>{"To", "Subject", "MIME-Version", "Content-Type",
                                             "Content-Transfer-Encoding", "Auto-Submitted"}));
  for (const char* said :
       {"Subject: [quil-reports] Regressed: EXCEPTION_\\x0ABcc: x@example.org\\x0D\\x0A<b>\" at 00401010",
        "fixed in build 038", "Address: 00401010", "Function: Crash\\x0DBcc: victim@example.org+0x10",
        "Named by: candidate, exact at the preferred base: Exact if Quil.exe ran",
        "Build: 039 (first seen in build 037, latest 039)",
        "State: regressed in build 039 (fixed in 038)", "Count: 12 deliveries",
        "First seen: 1970-01-02 00:00:00 UTC",
        "Page: http://reports.example:8080/group?address=00401010&exception=EXCEPTION_%0ABcc"})
    EXPECT_NE(mail.find(said), std::string::npos) << said << "\n" << mail;
  // A mail's line is at most 998 characters, whatever a map names.
  g.address = 0x00403000;
  std::istringstream long_lines(MailText("maker@example.org",
                                         ComposeNotice(NoticeKind::kNew, g, 39, maps, "http://r", 0)));
  size_t longest = 0;
  for (std::string line; std::getline(long_lines, line);) longest = std::max(longest, line.size());
  EXPECT_LE(longest, 998u);
  EXPECT_TRUE(PrintableLines(m.json));
  EXPECT_EQ(m.json.find('\n'), m.json.size() - 1);
  for (const char* said : {"\"event\":\"regressed\"", "\"exception\":\"EXCEPTION_\\u000ABcc: x@example.org\\u000D\\u000A\\u003Cb\\u003E\\\"\"",
                           "\"function\":\"Crash\\u000DBcc: victim@example.org+0x10\"", "\"build\":39",
                           "\"first_build\":37", "\"fixed_build\":38", "\"state\":\"regressed\"",
                           "\"count\":12", "\"first_seen\":\"1970-01-02T00:00:00.000Z\""})
    EXPECT_NE(m.json.find(said), std::string::npos) << said << "\n" << m.json;
}

TEST(Notify, MailGoesThroughSendmailT) {
  TestStore t;
  const std::string sink = t.dir + "/sendmail", out = t.dir + "/mail";
  // A descriptor of the service's, as a listening socket would be: sendmail
  // must not hold it.
  const int held = open("/dev/null", O_RDONLY);
  ASSERT_GE(held, 3);
  std::ofstream(sink) << "#!/bin/sh\n"
                         "[ \"$*\" = -t ] || { echo \"not -t: $*\" >&2; exit 64; }\n"
                         "[ -e /proc/$$/fd/" + std::to_string(held) + " ] && { echo 'holds fd' >&2; exit 65; }\n"
                         "[ -e " + t.dir + "/fail ] && { echo 'no route to the relay' >&2; exit 75; }\n"
                         "cat > " + out + "\n";
  ASSERT_EQ(system(("chmod +x " + sink).c_str()), 0);
  std::string error;
  EXPECT_TRUE(SendMail(sink, "To: a@example.org\n\nbody\n", &error)) << error;
  std::ifstream read(out);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(read), {}), "To: a@example.org\n\nbody\n");
  std::ofstream(t.dir + "/fail") << "";
  EXPECT_FALSE(SendMail(sink, "To: a@example.org\n\nbody\n", &error));
  EXPECT_EQ(error, sink + " -t: exit status 75: no route to the relay\\x0A");
  // Ending before reading a mail larger than a pipe holds fails the notice,
  // not the process (SIGPIPE is not ignored here, as the service does).
  EXPECT_FALSE(SendMail(sink, std::string(1 << 20, 'x'), &error));
  EXPECT_FALSE(SendMail(t.dir + "/none", "x", &error));
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  close(held);
}

}  // namespace
}  // namespace reports
