// Whatever a stranger posts to /sreport.asp, the intake's reading of it
// never fails: a report read from a body holds only what a report may
// (a printable name of at most 64 characters, a build under 1000), and
// composed again it reads back the same; and a body without a "log=" field
// is never taken for a report.
#include <string>
#include <string_view>

#include "fuzz_machine.h"
#include "reports/report_body.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  reports::ReportFields fields;
  const reports::BodyKind kind = reports::ReadReportBody(body, &fields);
  const bool hasLog = body.substr(0, 4) == "log=" || body.find("&log=") != std::string_view::npos;
  Require(hasLog == (kind != reports::BodyKind::kNoLogField),
          "a body is a report exactly when it has a log= field");
  if (kind != reports::BodyKind::kParsed) return 0;
  Require(!fields.exception.empty() && fields.exception.size() <= reports::kMaxExceptionName,
          "a name of 1 to 64 characters");
  for (char c : fields.exception) Require(c >= 0x20 && c <= 0x7E, "a printable name");
  Require(fields.build < 1000, "a build of three digits");
  reports::ReportFields back;
  Require(reports::ReadReportBody(reports::ComposeReportBody(fields), &back) ==
              reports::BodyKind::kParsed,
          "a composed report reads as one");
  Require(back.exception == fields.exception && back.address == fields.address &&
              back.build == fields.build,
          "and gives back the same fields");
  return 0;
}
