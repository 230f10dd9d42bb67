// Retention on a store whose clock is moved: raw reports go in batches, and
// the groups, their builds and their days stay as they were.
#include "reports/retention.h"

#include <sqlite3.h>

#include "tests/reports/store_fixture.h"

namespace reports {
namespace {

TEST(Retention, RawReportsGoTheCountsStay) {
  TestStore t;
  t.Add(37, 95 * kDay);
  t.Add(37, 95 * kDay);
  t.Add(37, 95 * kDay, "");
  t.Add(37, 90 * kDay - kHour);
  t.Add(38, 10 * kDay);
  t.Add(38, 0);
  const int64_t oldDay = (t.now - 95 * kDay) / kDay;
  const std::vector<int64_t> daysBefore = t.store.DailyCounts(oldDay, 96);
  int pauses = 0;
  EXPECT_EQ(DeleteExpiredReports(t.store, 90, 2, [&] { return ++pauses > 0; }), 3);
  EXPECT_EQ(pauses, 1);  // a pause between the batch of 2 and the last one
  EXPECT_EQ(t.store.CountRawReports(), 3);

  t.now += 20 * kDay;  // twenty days on, the report of 89 days ago is past 90
  EXPECT_EQ(DeleteExpiredReports(t.store, 90, 2, [] { return true; }), 1);
  EXPECT_EQ(t.store.CountRawReports(), 2);
  EXPECT_EQ(t.store.LatestOfGroup(t.store.Groups(1)[0], 10).size(), 2u);

  // What the page shows is what it showed before.
  const std::vector<Group> groups = t.store.Groups(0);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].count, 5);
  EXPECT_EQ(groups[0].firstMs, t.now - 20 * kDay - 95 * kDay);
  EXPECT_EQ(t.store.BuildsOfGroup(groups[0].id).size(), 2u);
  EXPECT_EQ(t.store.CountReports(true), 5);
  EXPECT_EQ(t.store.CountReports(false), 1);
  EXPECT_EQ(t.store.DailyCounts(oldDay, 96), daysBefore);
  EXPECT_EQ(daysBefore[0], 3);
}

TEST(Retention, AnOlderStoreHasItsReportsCountedOnce) {
  TestStore t;
  t.store.Close();
  // A store as written before groups were kept: reports only.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((t.dir + "/old.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE reports (id INTEGER PRIMARY KEY, received_ms INTEGER NOT NULL,"
                         " client TEXT NOT NULL, body BLOB NOT NULL, parsed INTEGER NOT NULL,"
                         " exception TEXT, address INTEGER, build INTEGER);"
                         "INSERT INTO reports VALUES(1, 86400000, 'a', 'x', 1, 'E', 16, 37),"
                         " (2, 172800000, 'a', 'x', 1, 'E', 16, 38), (3, 172800001, 'a', 'x', 0,"
                         " NULL, NULL, NULL);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  for (int open = 0; open < 2; ++open) {
    ReportStore store;
    std::string error;
    ASSERT_TRUE(store.Open(t.dir + "/old.db", &error)) << error;
    const std::vector<Group> groups = store.Groups(0);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].count, 2);
    EXPECT_EQ(groups[0].firstBuild, 37u);
    EXPECT_EQ(store.BuildsOfGroup(groups[0].id).size(), 2u);
    EXPECT_EQ(store.DailyCounts(1, 2), (std::vector<int64_t>{1, 2}));
  }
}

}  // namespace
}  // namespace reports
