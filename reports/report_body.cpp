#include "reports/report_body.h"

#include <cstdio>
#include <vector>

namespace reports {
namespace {

const char kFirstLine[] = "INSTALLER ERROR";
const char kLineBreak[] = "\n\r";  // Quil.exe's "%0A%0D", decoded

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Form decoding: "+" is a blank, "%XY" a byte. False for a "%" that is not
// followed by two hexadecimal digits.
bool FormDecode(std::string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out->push_back(' ');
    } else if (c == '%') {
      if (i + 2 >= text.size()) return false;
      int high = HexValue(text[i + 1]);
      int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out->push_back(c);
    }
  }
  return true;
}

// The lines of the log text, each of which must end with the line break;
// false when the text does not end with one.
bool SplitLines(std::string_view text, std::vector<std::string_view>* lines) {
  lines->clear();
  while (!text.empty()) {
    size_t end = text.find(kLineBreak);
    if (end == std::string_view::npos) return false;
    lines->push_back(text.substr(0, end));
    text.remove_prefix(end + 2);
  }
  return true;
}

bool IsPrintableName(std::string_view name) {
  if (name.empty() || name.size() > kMaxExceptionName) return false;
  for (char c : name)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// "at " and exactly eight upper-case hexadecimal digits, as "%08X" writes.
bool ReadAddressLine(std::string_view line, uint32_t* address) {
  if (line.size() != 11 || line.substr(0, 3) != "at ") return false;
  uint32_t value = 0;
  for (char c : line.substr(3)) {
    int digit = HexValue(c);
    if (digit < 0 || (c >= 'a' && c <= 'f')) return false;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  *address = value;
  return true;
}

// "Build: " and exactly three decimal digits, as "%03u" writes below 1000.
bool ReadBuildLine(std::string_view line, unsigned* build) {
  if (line.size() != 10 || line.substr(0, 7) != "Build: ") return false;
  unsigned value = 0;
  for (char c : line.substr(7)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  *build = value;
  return true;
}

}  // namespace

BodyKind ReadReportBody(std::string_view body, ReportFields* fields) {
  std::string_view log;
  int logFields = 0;
  for (size_t start = 0; start <= body.size();) {
    size_t end = body.find('&', start);
    if (end == std::string_view::npos) end = body.size();
    std::string_view field = body.substr(start, end - start);
    if (field.substr(0, 4) == "log=") {
      log = field.substr(4);
      ++logFields;
    }
    start = end + 1;
  }
  if (logFields == 0) return BodyKind::kNoLogField;
  std::string text;
  std::vector<std::string_view> lines;
  ReportFields read;
  if (logFields != 1 || !FormDecode(log, &text) || !SplitLines(text, &lines) ||
      lines.size() != 4 || lines[0] != kFirstLine || !IsPrintableName(lines[1]) ||
      !ReadAddressLine(lines[2], &read.address) || !ReadBuildLine(lines[3], &read.build))
    return BodyKind::kUnparsed;
  read.exception = std::string(lines[1]);
  *fields = std::move(read);
  return BodyKind::kParsed;
}

std::string ComposeReportBody(const ReportFields& fields) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string body = "log=INSTALLER+ERROR%0A%0D";
  for (char c : fields.exception) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == ' ') {
      body.push_back('+');
    } else if (u < 0x21 || u > 0x7E || c == '%' || c == '&' || c == '+' || c == '=' || c == '#') {
      body.push_back('%');
      body.push_back(kHex[u >> 4]);
      body.push_back(kHex[u & 0xF]);
    } else {
      body.push_back(c);
    }
  }
  char tail[64];
  std::snprintf(tail, sizeof tail, "%%0A%%0Dat+%08X%%0A%%0DBuild:+%03u%%0A%%0D",
                static_cast<unsigned>(fields.address), fields.build % 1000);
  return body + tail;
}

}  // namespace reports
