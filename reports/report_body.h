// The crash report a crashed Quil.exe posts to /sreport.asp, and its
// reading. The body is form-encoded: one field, "log", whose text is four
// lines, each ended by a line feed and a carriage return ("%0A%0D"):
//
//     INSTALLER ERROR
//     EXCEPTION_ACCESS_VIOLATION        the exception's name
//     at 0040160A                       its address, eight upper-case digits
//     Build: 037                        the build number, three digits
//
// Quil.exe encodes nothing but those line breaks, and turns blanks into "+"
// just before sending.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace reports {

// Longer than any name Quil.exe knows ("EXCEPTION_NONCONTINUABLE_EXCEPTION"
// is 34), short enough that a stored name stays a name.
constexpr size_t kMaxExceptionName = 64;

struct ReportFields {
  std::string exception;  // printable ASCII, 1 to kMaxExceptionName characters
  uint32_t address = 0;
  unsigned build = 0;     // 0 to 999
};

enum class BodyKind {
  kNoLogField,  // not a report: no "log=" field at all
  kUnparsed,    // a "log=" field whose text is not the four lines
  kParsed,      // the four lines, read into ReportFields
};

// Reads a request body. `fields` is filled only for kParsed. A body with
// more than one "log" field is kUnparsed: which one would be the report?
BodyKind ReadReportBody(std::string_view body, ReportFields* fields);

// The body Quil.exe sends for `fields`, blanks as "+". A character that
// would change the form's reading ('%', '&', '+', '=', '#', controls and
// bytes above 0x7E) is %-encoded, so that ReadReportBody always reads back
// what this wrote; Quil.exe's own names contain none of them.
std::string ComposeReportBody(const ReportFields& fields);

}  // namespace reports
