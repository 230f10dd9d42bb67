// The store's reading of groups a batch at a time, as the export streams
// them: every group once, in the order of its key, whatever the batch.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <tuple>

#include "reports/store.h"

namespace reports {
namespace {

TEST(Store, GroupsAfterWalksEveryGroupOnceAcrossBatches) {
  const std::string path = testing::TempDir() + "/store_test-" + std::to_string(::getpid()) + ".db";
  for (const char* tail : {"", "-wal", "-shm"}) std::remove((path + tail).c_str());
  ReportStore store;
  std::string error;
  ASSERT_TRUE(store.Open(path, &error)) << error;
  // Keys that share a build, or a build and an exception, across batch
  // boundaries; exceptions that differ in case and length; reports that
  // repeat a group; an unparsed report, which belongs to none.
  const std::tuple<unsigned, const char*, uint32_t> keys[] = {
      {37, "EXCEPTION_ACCESS_VIOLATION", 0x00401000}, {37, "EXCEPTION_ACCESS_VIOLATION", 0x00401001},
      {37, "EXCEPTION_ACCESS_VIOLATION", 0xFFFFFFFF}, {37, "E", 0x00000000},
      {37, "e", 0x00000000},  {37, "EXCEPTION_ACCESS_VIOLATION2", 0}, {0, "", 0},
      {0, "X", 5},            {999, "Z", 1},          {38, "EXCEPTION_ACCESS_VIOLATION", 0x00401000},
  };
  for (int copy = 0; copy < 2; ++copy)
    for (const auto& [build, exception, address] : keys) {
      StoredReport r;
      r.parsed = true;
      r.fields = {exception, address, build};
      ASSERT_TRUE(store.Add(&r));
    }
  StoredReport unparsed;
  ASSERT_TRUE(store.Add(&unparsed));
  ASSERT_EQ(store.CountGroups(), static_cast<int64_t>(std::size(keys)));
  for (size_t batch : {1, 3, 4, 100}) {
    SCOPED_TRACE(batch);
    std::set<std::tuple<unsigned, std::string, uint32_t>> seen;
    std::unique_ptr<Group> last;
    for (int round = 0; round < 20; ++round) {
      const std::vector<Group> got = store.GroupsAfter(last.get(), batch);
      for (const Group& g : got) {
        const auto key = std::make_tuple(g.build, g.exception, g.address);
        if (last) {
          EXPECT_LT(std::make_tuple(last->build, last->exception, last->address), key);
        }
        EXPECT_TRUE(seen.insert(key).second);
        EXPECT_EQ(g.count, 2);
        last = std::make_unique<Group>(g);
      }
      if (got.size() < batch) break;
    }
    EXPECT_EQ(seen.size(), std::size(keys));
  }
  store.Close();
  for (const char* tail : {"", "-wal", "-shm"}) std::remove((path + tail).c_str());
}

}  // namespace
}  // namespace reports
