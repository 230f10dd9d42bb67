#include "reports/group_state.h"

#include "reports/text.h"

namespace reports {

GroupState StateOf(const Group& group, int64_t nowMs) {
  if (group.regressedBuild >= 0) return GroupState::kRegressed;
  if (group.fixedBuild >= 0) return GroupState::kFixed;
  return nowMs - group.firstMs < kNewForMs ? GroupState::kNew : GroupState::kSeen;
}

bool Regresses(int fixedBuild, int regressedBuild, unsigned build) {
  return fixedBuild >= 0 && regressedBuild < 0 && build >= static_cast<unsigned>(fixedBuild);
}

const char* StateWord(GroupState state) {
  switch (state) {
    case GroupState::kNew: return "new";
    case GroupState::kFixed: return "fixed";
    case GroupState::kRegressed: return "regressed";
    case GroupState::kSeen: break;
  }
  return "seen";
}

std::string StateText(const Group& group, int64_t nowMs) {
  const GroupState state = StateOf(group, nowMs);
  const std::string fixed = BuildText(static_cast<unsigned>(group.fixedBuild));
  if (state == GroupState::kFixed) return "fixed in build " + fixed;
  if (state == GroupState::kRegressed)
    return "regressed in build " + BuildText(static_cast<unsigned>(group.regressedBuild)) +
           " (fixed in " + fixed + ")";
  return StateWord(state);
}

unsigned NamingBuild(const Group& group, const std::map<unsigned, SymbolMap>& maps) {
  return maps.count(group.build) || !maps.count(group.firstBuild) ? group.build : group.firstBuild;
}

std::string GroupPath(const Group& group) {
  return "/group?address=" + Hex8(group.address) + "&exception=" + UrlEncode(group.exception);
}

}  // namespace reports
