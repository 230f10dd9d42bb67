// Naming crash addresses with a build's symbols. The Windows build writes a
// symbol map of Quil.exe beside it (tools/symbol_map.py): its build number,
// preferred image base, code range and every function's start, as offsets
// in the image (RVA). The service reads every map in its --symbols folder.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace reports {

// Windows loads Quil.exe (built with ASLR) at a random base aligned to
// 64 KiB; Wine usually keeps the preferred one.
constexpr uint32_t kPreferredBase = 0x00400000;

struct SymbolMap {
  unsigned build = 0;
  uint32_t imageBase = 0;
  uint32_t codeStart = 0;  // RVA of the first byte of .text
  uint32_t codeEnd = 0;    // RVA just past it
  std::vector<std::pair<uint32_t, std::string>> functions;  // by RVA, ascending
  std::string file;        // where it was read from
};

// Reads one map. False, with the line and the reason in `error`, when the
// text is not a whole map (so a half-written file is never used).
bool ReadSymbolMap(std::istream& in, SymbolMap* map, std::string* error);

// The maps of a folder, by build number: every "*.map" file in it. False,
// with the reason, when the folder cannot be read, a map is damaged, or two
// maps name the same build.
bool ReadSymbolFolder(const std::string& folder, std::map<unsigned, SymbolMap>* maps,
                      std::string* error);

// Which rule named an address, if any.
enum class NameRule {
  kNoMap,           // no map for the report's build: shown as it is
  kOutsideCode,     // its low 16 bits fall outside Quil.exe's code: shown as it is
  kPreferredBase,   // address - 0x00400000 falls in the code: exact at the preferred base
  kLow16Candidate,  // only its low 16 bits, taken as an RVA, fall in the code
};

struct AddressName {
  NameRule rule = NameRule::kNoMap;
  uint32_t rva = 0;        // the RVA that was looked up (named rules only)
  std::string function;    // the function whose start is the greatest <= rva
  uint32_t offset = 0;     // rva - that start
};

// Names `address` of a report of `build`. A 64 KiB-aligned base leaves an
// address's low 16 bits those of its RVA, and Quil.exe's code lies inside
// the first 64 KiB, so those bits name one place in Quil.exe's code, if the
// fault was in Quil.exe at all: the address alone cannot tell, hence
// "candidate".
AddressName NameAddress(const std::map<unsigned, SymbolMap>& maps, unsigned build,
                        uint32_t address);

// What the rule means, in a sentence for the page.
std::string RuleText(NameRule rule, unsigned build, uint32_t address,
                     const std::map<unsigned, SymbolMap>& maps);
// A short label: "candidate, exact at the preferred base", "candidate, low
// 16 bits", "not placed".
const char* RuleLabel(NameRule rule);

}  // namespace reports
