// Naming an address with a build's symbol map: which rule names what, and
// the maps the service refuses to use.
#include "reports/symbols.h"

#include <gtest/gtest.h>

#include <sstream>

namespace reports {
namespace {

const char kMap[] =
    "# a map as the Windows build writes it\n"
    "quil-symbols 1\n"
    "build 37\n"
    "program Quil.exe sha256 00\n"
    "image-base 00400000\n"
    "code 00001000 000076B8\n"
    "00001000 __mingw_invalidParameterHandler\n"
    "000015B0 WinMain@16\n"
    "00001650 RunInstaller(HINSTANCE__*)\n"
    "00007000 last_function\n"
    "end\n";

std::map<unsigned, SymbolMap> Maps() {
  std::istringstream in(kMap);
  SymbolMap map;
  std::string error;
  EXPECT_TRUE(ReadSymbolMap(in, &map, &error)) << error;
  return {{37, map}};
}

TEST(Symbols, EachRuleNamesWhatItMay) {
  struct Case {
    const char* why;
    unsigned build;
    uint32_t address;
    NameRule rule;
    const char* function;
    uint32_t offset;
  };
  const Case cases[] = {
      {"at the preferred base, inside a function", 37, 0x0040166A, NameRule::kPreferredBase,
       "RunInstaller(HINSTANCE__*)", 0x1A},
      {"at the preferred base, a function's first byte", 37, 0x004015B0,
       NameRule::kPreferredBase, "WinMain@16", 0},
      {"the code's first byte", 37, 0x00401000, NameRule::kPreferredBase,
       "__mingw_invalidParameterHandler", 0},
      {"the code's last byte: the last function", 37, 0x004076B7, NameRule::kPreferredBase,
       "last_function", 0x6B7},
      {"another 64 KiB-aligned base: a candidate only", 37, 0x013A166A,
       NameRule::kLow16Candidate, "RunInstaller(HINSTANCE__*)", 0x1A},
      {"a system library's address whose low bits fall in the code", 37, 0x7BC41650,
       NameRule::kLow16Candidate, "RunInstaller(HINSTANCE__*)", 0},
      {"just past the code", 37, 0x004076B8, NameRule::kOutsideCode, "", 0},
      {"the headers, below the code", 37, 0x00400FFF, NameRule::kOutsideCode, "", 0},
      {"below the base: no wrap-around", 37, 0x00001650, NameRule::kLow16Candidate,
       "RunInstaller(HINSTANCE__*)", 0},
      {"low bits past the code in a library", 37, 0x7BC4F000, NameRule::kOutsideCode, "", 0},
      {"a build without a map", 38, 0x0040166A, NameRule::kNoMap, "", 0},
  };
  const std::map<unsigned, SymbolMap> maps = Maps();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const AddressName name = NameAddress(maps, c.build, c.address);
    EXPECT_EQ(name.rule, c.rule);
    EXPECT_EQ(name.function, c.function);
    EXPECT_EQ(name.offset, c.offset);
    // The page says which rule named it, and "candidate" whenever only the
    // low bits did.
    const std::string text = RuleText(name.rule, c.build, c.address, maps);
    EXPECT_EQ(text.find("andidate") != std::string::npos,
              c.rule == NameRule::kLow16Candidate || c.rule == NameRule::kPreferredBase)
        << text;
    EXPECT_EQ(text.find("Not placed") == 0,
              c.rule == NameRule::kOutsideCode || c.rule == NameRule::kNoMap)
        << text;
  }
}

TEST(Symbols, RefusesAMapThatIsNotWhole) {
  const std::string map = kMap;
  auto without = [&](const std::string& line) {
    std::string text = map;
    text.erase(text.find(line), line.size());
    return text;
  };
  const struct {
    const char* why;
    std::string text;
  } cases[] = {
      {"cut before its end line", without("end\n")},
      {"no build line", without("build 37\n")},
      {"no code range", without("code 00001000 000076B8\n")},
      {"another format", "quil-symbols 2\n" + without("quil-symbols 1\n")},
      {"functions out of order", without("end\n") + "000015B0 WinMain@16\nend\n"},
      {"text after its end line", map + "00007100 late\n"},
      {"a function outside the code",
       without("end\n") + "00008000 beyond\nend\n"},
      {"a build over 999", "quil-symbols 1\nbuild 1000\n"},
      {"an RVA that is not 8 hex digits", without("end\n") + "1650 short\nend\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::istringstream in(c.text);
    SymbolMap read;
    std::string error;
    EXPECT_FALSE(ReadSymbolMap(in, &read, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace reports
