// A group's state, as the page, the export and the notices say it: new (first
// seen within the last day), seen, fixed in build N (the maker's word), or
// regressed (a report from build N or later came after the mark).
#pragma once

#include <cstdint>
#include <string>

#include "reports/store.h"
#include "reports/symbols.h"

namespace reports {

// How long a group is "new" after its first report.
constexpr int64_t kNewForMs = 86400000;

enum class GroupState { kNew, kSeen, kFixed, kRegressed };

GroupState StateOf(const Group& group, int64_t nowMs);

// Whether a report of `build` regresses a group fixed in `fixedBuild` (-1:
// not fixed) that has regressed in `regressedBuild` (-1: not yet): only the
// first report from the fixed build on does, and an older build's report
// is an install not yet updated.
bool Regresses(int fixedBuild, int regressedBuild, unsigned build);

// "new", "seen", "fixed", "regressed": the class and the export's word.
const char* StateWord(GroupState state);
// What the page shows: "new", "seen", "fixed in build 038", "regressed in
// build 039 (fixed in 038)".
std::string StateText(const Group& group, int64_t nowMs);

// The build whose map names a group's address: its latest, or else its
// first when only that one has a map.
unsigned NamingBuild(const Group& group, const std::map<unsigned, SymbolMap>& maps);

// The path of a group's page, "/group?address=...&exception=...".
std::string GroupPath(const Group& group);

}  // namespace reports
