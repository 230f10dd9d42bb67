// The intake's reading of a body: what is a report, what is kept unparsed,
// and what is not a report at all, as a table.
#include "reports/report_body.h"

#include <gtest/gtest.h>

namespace reports {
namespace {

const char kQuilBody[] =
    "log=INSTALLER+ERROR%0A%0DEXCEPTION_ACCESS_VIOLATION%0A%0Dat+00ABCDEF%0A%0DBuild:+037%0A%0D";

struct BodyCase {
  const char* why;
  std::string body;
  BodyKind kind;
  ReportFields fields;  // when parsed
};

TEST(ReportBody, ReadsWhatQuilSendsAndNothingLooser) {
  const std::string line2 = "%0A%0D";
  const std::string head = "log=INSTALLER+ERROR%0A%0D";
  const BodyCase cases[] = {
      {"Quil.exe's own body", kQuilBody, BodyKind::kParsed,
       {"EXCEPTION_ACCESS_VIOLATION", 0x00ABCDEF, 37}},
      {"blanks sent as %20 read the same", "log=INSTALLER%20ERROR%0A%0DEXCEPTION_BREAKPOINT%0A%0Dat%2000000000%0A%0DBuild:%20999%0A%0D",
       BodyKind::kParsed, {"EXCEPTION_BREAKPOINT", 0, 999}},
      {"an unknown code's name", head + "<UNKNOWN+ERROR>" + line2 + "at+FFFFFFFF" + line2 + "Build:+000" + line2,
       BodyKind::kParsed, {"<UNKNOWN ERROR>", 0xFFFFFFFF, 0}},
      {"markup in a name is a name; the page escapes it",
       head + "%3Cscript%3Ealert(1)%3C/script%3E" + line2 + "at+00401000" + line2 + "Build:+037" + line2,
       BodyKind::kParsed, {"<script>alert(1)</script>", 0x00401000, 37}},
      {"another field beside it", std::string(kQuilBody) + "&x=1", BodyKind::kParsed,
       {"EXCEPTION_ACCESS_VIOLATION", 0x00ABCDEF, 37}},
      {"no field at all", "", BodyKind::kNoLogField, {}},
      {"another field only", "report=1&Log=x", BodyKind::kNoLogField, {}},
      {"a field named log without '='", "log", BodyKind::kNoLogField, {}},
      {"an empty log", "log=", BodyKind::kUnparsed, {}},
      {"two log fields", std::string(kQuilBody) + "&" + kQuilBody, BodyKind::kUnparsed, {}},
      {"the last line break missing",
       std::string(kQuilBody).substr(0, sizeof kQuilBody - 1 - 6), BodyKind::kUnparsed, {}},
      {"CR LF in place of LF CR", head + "EXCEPTION_BREAKPOINT%0D%0Aat+00000000%0D%0ABuild:+037%0D%0A",
       BodyKind::kUnparsed, {}},
      {"a fifth line", std::string(kQuilBody) + "more" + line2, BodyKind::kUnparsed, {}},
      {"another first line", "log=UNINSTALLER+ERROR%0A%0DX%0A%0Dat+00000000%0A%0DBuild:+037%0A%0D",
       BodyKind::kUnparsed, {}},
      {"lower-case address digits", head + "X" + line2 + "at+00abcdef" + line2 + "Build:+037" + line2,
       BodyKind::kUnparsed, {}},
      {"seven address digits", head + "X" + line2 + "at+0ABCDEF" + line2 + "Build:+037" + line2,
       BodyKind::kUnparsed, {}},
      {"a build of four digits", head + "X" + line2 + "at+00000000" + line2 + "Build:+0037" + line2,
       BodyKind::kUnparsed, {}},
      {"an empty name", head + line2 + "at+00000000" + line2 + "Build:+037" + line2,
       BodyKind::kUnparsed, {}},
      {"a name of 65 characters", head + std::string(65, 'E') + line2 + "at+00000000" + line2 +
       "Build:+037" + line2, BodyKind::kUnparsed, {}},
      {"a control byte in the name", head + "A%01B" + line2 + "at+00000000" + line2 + "Build:+037" + line2,
       BodyKind::kUnparsed, {}},
      {"a NUL byte in the name", head + "A%00B" + line2 + "at+00000000" + line2 + "Build:+037" + line2,
       BodyKind::kUnparsed, {}},
      {"a '%' without two hex digits", head + "A%4" , BodyKind::kUnparsed, {}},
      {"a '%' at the very end", "log=%", BodyKind::kUnparsed, {}},
  };
  for (const BodyCase& c : cases) {
    SCOPED_TRACE(c.why);
    ReportFields fields{"untouched", 1, 2};
    EXPECT_EQ(ReadReportBody(c.body, &fields), c.kind);
    const ReportFields expected = c.kind == BodyKind::kParsed ? c.fields : ReportFields{"untouched", 1, 2};
    EXPECT_EQ(fields.exception, expected.exception);
    EXPECT_EQ(fields.address, expected.address);
    EXPECT_EQ(fields.build, expected.build);
  }
}

// The composer writes Quil.exe's bytes for Quil.exe's names, and encodes
// what would change the form's reading, so that reading gives it back.
TEST(ReportBody, ComposesQuilsBytesAndReadsBackAnyName) {
  EXPECT_EQ(ComposeReportBody({"EXCEPTION_ACCESS_VIOLATION", 0x00ABCDEF, 37}), kQuilBody);
  EXPECT_EQ(ComposeReportBody({"<UNKNOWN ERROR>", 0x0040160A, 37}),
            "log=INSTALLER+ERROR%0A%0D<UNKNOWN+ERROR>%0A%0Dat+0040160A%0A%0DBuild:+037%0A%0D");
  const ReportFields odd[] = {{"a+b&c=d%e#f", 1, 1}, {"  two  blanks  ", 2, 2}, {"~!\"'()*,;", 3, 3}};
  for (const ReportFields& f : odd) {
    SCOPED_TRACE(f.exception);
    ReportFields back;
    ASSERT_EQ(ReadReportBody(ComposeReportBody(f), &back), BodyKind::kParsed);
    EXPECT_EQ(back.exception, f.exception);
    EXPECT_EQ(back.address, f.address);
    EXPECT_EQ(back.build, f.build);
  }
}

}  // namespace
}  // namespace reports
