// Writing what a report carries into the maker's page and the export:
// every value that came from a report goes through one of these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace reports {

// Text for HTML content and quoted attributes: & < > " ' as references,
// and any byte that is not printable ASCII as a visible \xNN, so that
// neither markup nor a stray byte of a report reaches the page as such.
std::string Html(std::string_view text);
// A JSON string with its quotes. Each byte stands for the character of the
// same code (Latin-1); all but printable ASCII is written \u00XX, so the
// export is ASCII and gives back a report's bytes exactly.
std::string Json(std::string_view bytes);
// A query-string value: all but letters, digits and -._~ as %XX.
std::string UrlEncode(std::string_view text);
// "%08X".
std::string Hex8(uint32_t value);
// "%03u": a build number as the report writes it.
std::string BuildText(unsigned build);
// "2024-05-01 12:00:03 UTC" / "2024-05-01T12:00:03.123Z" for milliseconds
// since 1970.
std::string PageTime(int64_t ms);
std::string IsoTime(int64_t ms);
// "2024-05-01" for a day since 1970.
std::string DayText(int64_t day);

}  // namespace reports
