#include "reports/symbols.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "reports/text.h"

namespace reports {
namespace {

const size_t kMaxFunctions = 200000;
const size_t kMaxLine = 4096;

bool ReadHex32(const std::string& text, uint32_t* value) {
  if (text.size() != 8) return false;
  uint32_t v = 0;
  for (char c : text) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

}  // namespace

bool ReadSymbolMap(std::istream& in, SymbolMap* map, std::string* error) {
  SymbolMap read;
  bool sawHeader = false, sawBuild = false, sawBase = false, sawCode = false, sawEnd = false;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    auto fail = [&](const char* why) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (line.size() > kMaxLine) return fail("longer than 4096 characters");
    if (line.empty() || line[0] == '#') continue;
    if (sawEnd) return fail("text after \"end\"");
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (!sawHeader) {
      std::string version;
      words >> version;
      if (key != "quil-symbols" || version != "1") return fail("not a quil-symbols 1 map");
      sawHeader = true;
    } else if (key == "build") {
      long build = -1;
      words >> build;
      if (build < 0 || build > 999) return fail("the build is not a number from 0 to 999");
      read.build = static_cast<unsigned>(build);
      sawBuild = true;
    } else if (key == "image-base") {
      std::string base;
      words >> base;
      if (!ReadHex32(base, &read.imageBase)) return fail("the image base is not 8 hex digits");
      sawBase = true;
    } else if (key == "code") {
      std::string start, end;
      words >> start >> end;
      if (!ReadHex32(start, &read.codeStart) || !ReadHex32(end, &read.codeEnd) ||
          read.codeEnd <= read.codeStart)
        return fail("the code range is not two RVAs, start below end");
      sawCode = true;
    } else if (key == "program") {
      continue;  // the program's name and digest, for people
    } else if (key == "end") {
      sawEnd = true;
    } else {
      uint32_t rva;
      std::string name;
      std::getline(words >> std::ws, name);
      if (!ReadHex32(key, &rva) || name.empty()) return fail("not an RVA and a name");
      if (!sawCode || rva < read.codeStart || rva >= read.codeEnd)
        return fail("a function outside the code range");
      if (!read.functions.empty() && rva < read.functions.back().first)
        return fail("functions out of order");
      if (read.functions.size() == kMaxFunctions) return fail("more than 200000 functions");
      read.functions.emplace_back(rva, name);
    }
  }
  if (!sawHeader || !sawBuild || !sawBase || !sawCode || !sawEnd) {
    *error = "incomplete: it needs its header, build, image-base, code and end lines";
    return false;
  }
  *map = std::move(read);
  return true;
}

bool ReadSymbolFolder(const std::string& folder, std::map<unsigned, SymbolMap>* maps,
                      std::string* error) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = folder + ": cannot be read";
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".map") == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = folder + "/" + name;
    std::ifstream in(path);
    SymbolMap map;
    std::string why;
    if (!in || !ReadSymbolMap(in, &map, &why)) {
      *error = path + ": " + (in ? why : "cannot be opened");
      return false;
    }
    map.file = path;
    if (maps->count(map.build)) {
      *error = path + ": build " + std::to_string(map.build) + " has a map already, " +
               (*maps)[map.build].file;
      return false;
    }
    (*maps)[map.build] = std::move(map);
  }
  return true;
}

AddressName NameAddress(const std::map<unsigned, SymbolMap>& maps, unsigned build,
                        uint32_t address) {
  AddressName name;
  auto found = maps.find(build);
  if (found == maps.end()) return name;
  const SymbolMap& map = found->second;
  auto inCode = [&](uint32_t rva) { return rva >= map.codeStart && rva < map.codeEnd; };
  const uint32_t fromBase = address - map.imageBase;  // wraps below the base: outside
  if (address >= map.imageBase && inCode(fromBase)) {
    name.rule = NameRule::kPreferredBase;
    name.rva = fromBase;
  } else if (inCode(address & 0xFFFF)) {
    name.rule = NameRule::kLow16Candidate;
    name.rva = address & 0xFFFF;
  } else {
    name.rule = NameRule::kOutsideCode;
    return name;
  }
  // The function whose start is the greatest at or below the RVA.
  auto after = std::upper_bound(
      map.functions.begin(), map.functions.end(), name.rva,
      [](uint32_t rva, const std::pair<uint32_t, std::string>& f) { return rva < f.first; });
  if (after == map.functions.begin()) {
    name.rule = NameRule::kOutsideCode;  // before the first function: nothing to name
    return name;
  }
  --after;
  name.function = after->second;
  name.offset = name.rva - after->first;
  return name;
}

const char* RuleLabel(NameRule rule) {
  switch (rule) {
    case NameRule::kPreferredBase: return "candidate, exact at the preferred base";
    case NameRule::kLow16Candidate: return "candidate, low 16 bits";
    case NameRule::kNoMap:
    case NameRule::kOutsideCode: break;
  }
  return "not placed";
}

std::string RuleText(NameRule rule, unsigned build, uint32_t address,
                     const std::map<unsigned, SymbolMap>& maps) {
  auto found = maps.find(build);
  if (rule == NameRule::kNoMap || found == maps.end())
    return "Not placed: no symbol map for build " + BuildText(build) + ".";
  const SymbolMap& map = found->second;
  const std::string range = "RVA " + Hex8(map.codeStart) + "-" + Hex8(map.codeEnd);
  switch (rule) {
    case NameRule::kPreferredBase:
      return "Exact if Quil.exe ran at its preferred base " + Hex8(map.imageBase) +
             " (as under Wine): the address less the base falls in its code (" + range +
             "), and the low-16-bit reading agrees. Still a candidate: the address alone "
             "cannot say the fault was in Quil.exe.";
    case NameRule::kLow16Candidate:
      return "Candidate (low 16 bits as RVA, base 64 KiB-aligned): " + Hex8(address & 0xFFFF) +
             " falls in Quil.exe's code (" + range + "), but at the preferred base the "
             "address would not; the fault may as well lie in a system library.";
    case NameRule::kOutsideCode:
      return "Not placed: its low 16 bits, " + Hex8(address & 0xFFFF) +
             ", fall outside Quil.exe's code (" + range + "), so the fault was not in "
             "Quil.exe's own code.";
    case NameRule::kNoMap: break;
  }
  return "";
}

}  // namespace reports
