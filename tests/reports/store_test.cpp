// The store's reading of groups a batch at a time, as the export streams
// them: every group once, in the order of its id, whatever the batch.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "tests/reports/store_fixture.h"

namespace reports {
namespace {

TEST(Store, GroupsAfterWalksEveryGroupOnceAcrossBatches) {
  TestStore t;
  // Groups that share an exception or an address across batch boundaries;
  // exceptions that differ in case and length; each group reported from two
  // builds, so that a group is one across its builds; an unparsed report,
  // which belongs to none.
  const std::tuple<const char*, uint32_t> keys[] = {
      {"EXCEPTION_ACCESS_VIOLATION", 0x00401000}, {"EXCEPTION_ACCESS_VIOLATION", 0x00401001},
      {"EXCEPTION_ACCESS_VIOLATION", 0xFFFFFFFF}, {"E", 0x00000000},
      {"e", 0x00000000},  {"EXCEPTION_ACCESS_VIOLATION2", 0}, {"X", 5}, {"Z", 1},
  };
  for (unsigned build : {37u, 38u})
    for (const auto& [exception, address] : keys) {
      StoredReport r;
      r.receivedMs = t.now;
      r.parsed = true;
      r.fields = {exception, address, build};
      ASSERT_TRUE(t.store.Add(&r));
    }
  t.Add(37, 0, "");
  ASSERT_EQ(t.store.CountGroups(), static_cast<int64_t>(std::size(keys)));
  for (size_t batch : {1, 3, 4, 100}) {
    SCOPED_TRACE(batch);
    std::set<std::tuple<std::string, uint32_t>> seen;
    int64_t last = 0;
    for (int round = 0; round < 20; ++round) {
      const std::vector<Group> got = t.store.GroupsAfter(last, batch);
      for (const Group& g : got) {
        EXPECT_LT(last, g.id);
        EXPECT_TRUE(seen.insert(std::make_tuple(g.exception, g.address)).second);
        EXPECT_EQ(g.count, 2);
        EXPECT_EQ(std::make_pair(g.firstBuild, g.build), std::make_pair(37u, 38u));
        last = g.id;
      }
      if (got.size() < batch) break;
    }
    EXPECT_EQ(seen.size(), std::size(keys));
  }
}

}  // namespace
}  // namespace reports
