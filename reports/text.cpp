#include "reports/text.h"

#include <cstdio>
#include <ctime>

namespace reports {
namespace {

const char kHex[] = "0123456789ABCDEF";

void AppendHexByte(std::string* out, const char* prefix, unsigned char byte) {
  out->append(prefix);
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 0xF]);
}

std::tm UtcOf(int64_t ms) {
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return utc;
}

}  // namespace

std::string Html(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 16);
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (u < 0x20 || u > 0x7E) {
          AppendHexByte(&out, "\\x", u);
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::string Json(std::string_view bytes) {
  std::string out = "\"";
  for (char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (u < 0x20 || u > 0x7E || c == '<' || c == '>' || c == '&') {
      // < > & too: the export stays inert even where a browser sniffs it.
      AppendHexByte(&out, "\\u00", u);
    } else {
      out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

std::string UrlEncode(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(c);
    } else {
      AppendHexByte(&out, "%", u);
    }
  }
  return out;
}

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

std::string BuildText(unsigned build) {
  char text[16];
  std::snprintf(text, sizeof text, "%03u", build);
  return text;
}

std::string PageTime(int64_t ms) {
  std::tm utc = UtcOf(ms);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &utc);
  return text;
}

std::string IsoTime(int64_t ms) {
  std::tm utc = UtcOf(ms);
  char text[40];
  size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(((ms % 1000) + 1000) % 1000));
  return text;
}

std::string DayText(int64_t day) {
  std::tm utc = UtcOf(day * 86400000);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &utc);
  return text;
}

}  // namespace reports
