// A group's state through the store, as reports come and the maker marks it:
// new, seen, fixed in build N, regressed; the notices each change queues.
#include "reports/group_state.h"

#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/reports/store_fixture.h"

namespace reports {
namespace {

TEST(GroupState, StatesAndTheRegressionRule) {
  const struct {
    const char* why;
    int64_t firstAgo;   // the first report, of build 037, this long before now
    const char* steps;  // then, now: "rN" a report of build N, "fN" fixed in N, "u" undo
    const char* state;
    bool attention;     // in the page's first table
    const char* notices;
  } cases[] = {
      {"a group first seen an hour ago is new", kHour, "", "new", true, "new"},
      {"a day after its first report it is seen", kDay, "", "seen", false, "new"},
      {"later reports do not make it new again", 3 * kDay, "r37 r38", "seen", false, "new"},
      {"the maker's word: fixed in a build", 3 * kDay, "f38", "fixed in build 038", false, "new"},
      {"a fixed group seen new is not new", kHour, "f38", "fixed in build 038", false, "new"},
      {"an install not yet updated does not regress it", 3 * kDay, "f38 r37", "fixed in build 038",
       false, "new"},
      {"a report from the fixed build regresses it", 3 * kDay, "f38 r38",
       "regressed in build 038 (fixed in 038)", true, "new regressed"},
      {"the first later build is the one named, once", 3 * kDay, "f38 r40 r39 r41",
       "regressed in build 040 (fixed in 038)", true, "new regressed"},
      {"marked fixed again, it waits for the new build", 3 * kDay, "f38 r38 f41 r40",
       "fixed in build 041", false, "new regressed"},
      {"and regresses again from it", 3 * kDay, "f38 r38 f41 r41",
       "regressed in build 041 (fixed in 041)", true, "new regressed regressed"},
      {"undo: not fixed after all", kHour, "f38 u", "new", true, "new"},
      {"undo clears a regression too", 3 * kDay, "f38 r38 u r38", "seen", false, "new regressed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    TestStore t(true);
    t.Add(37, c.firstAgo);
    std::istringstream steps(c.steps);
    for (std::string step; steps >> step;) {
      const unsigned build = step.size() > 1 ? static_cast<unsigned>(std::stoul(step.substr(1))) : 0;
      if (step[0] == 'r') t.Add(build, 0);
      if (step[0] == 'f') {
        EXPECT_TRUE(t.store.MarkFixed("EXCEPTION_ACCESS_VIOLATION", 0x0040160A, build));
      }
      if (step[0] == 'u') {
        EXPECT_TRUE(t.store.Reopen("EXCEPTION_ACCESS_VIOLATION", 0x0040160A));
      }
    }
    Group g;
    ASSERT_TRUE(t.store.FindGroup("EXCEPTION_ACCESS_VIOLATION", 0x0040160A, &g));
    EXPECT_EQ(StateText(g, t.now), c.state);
    EXPECT_EQ(t.store.AttentionGroups(10).size(), c.attention ? 1u : 0u);
    int64_t next = 0;
    std::string kinds;
    for (const Notice& n : t.store.DueNotices(t.now, 10, &next))
      kinds += std::string(kinds.empty() ? "" : " ") + (n.kind == NoticeKind::kNew ? "new" : "regressed");
    EXPECT_EQ(kinds, c.notices);
  }
}

TEST(GroupState, AGroupIsAnExceptionAtAnAddressOverItsBuilds) {
  TestStore t;
  t.Add(38, 2 * kDay);
  t.Add(37, kDay);
  t.Add(38, 0);
  t.Add(38, 0, "EXCEPTION_INT_DIVIDE_BY_ZERO");
  t.Add(39, 0, "");
  const std::vector<Group> groups = t.store.Groups(0);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].count, 3);
  EXPECT_EQ(groups[0].firstBuild, 37u);
  EXPECT_EQ(groups[0].build, 38u);
  EXPECT_EQ(groups[0].firstMs, t.now - 2 * kDay);
  std::string builds;
  for (const BuildCount& b : t.store.BuildsOfGroup(groups[0].id))
    builds += std::to_string(b.build) + ":" + std::to_string(b.count) + " ";
  EXPECT_EQ(builds, "37:1 38:2 ");
  EXPECT_EQ(t.store.CountReports(true), 4);
  EXPECT_EQ(t.store.CountReports(false), 1);
  // Without notices asked for, none are queued.
  int64_t next = 0;
  EXPECT_TRUE(t.store.DueNotices(t.now, 10, &next).empty());
}

// Reports that arrive together share a commit and are counted together: the
// groups, builds, days and notices come out as one by one.
TEST(GroupState, ABatchCountsAsItsReportsOneByOne) {
  TestStore t(true);
  t.Add(38, kDay);
  ASSERT_TRUE(t.store.MarkFixed("EXCEPTION_ACCESS_VIOLATION", 0x0040160A, 38));
  // Another connection holds the write lock: the writer waits on its first
  // batch, and the reports sent meanwhile queue for one batch after it.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open((t.dir + "/r.db").c_str(), &holder), SQLITE_OK);
  ASSERT_TRUE(Exec(holder, "BEGIN IMMEDIATE", nullptr));
  uint64_t commitsBefore = 0, rowsBefore = 0;
  t.store.CommitStats(&commitsBefore, &rowsBefore);
  // Whatever their order, one regression (build 39, the only one from the
  // fixed build on) and one new group.
  const std::vector<std::pair<unsigned, std::string>> batch = {
      {37, "EXCEPTION_ACCESS_VIOLATION"}, {39, "EXCEPTION_ACCESS_VIOLATION"},
      {39, "EXCEPTION_ACCESS_VIOLATION"}, {39, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
      {39, "EXCEPTION_INT_DIVIDE_BY_ZERO"}, {39, ""}};
  std::vector<std::thread> senders;
  for (const auto& [build, exception] : batch)
    senders.emplace_back([&t, build = build, exception = exception] { t.Add(build, 0, exception); });
  // Well within the writer's 5 s wait for the lock.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  Exec(holder, "ROLLBACK", nullptr);
  for (std::thread& s : senders) s.join();
  sqlite3_close(holder);
  uint64_t commits = 0, rows = 0;
  t.store.CommitStats(&commits, &rows);
  EXPECT_EQ(rows - rowsBefore, batch.size());
  EXPECT_LT(commits - commitsBefore, batch.size() - 1) << "no batch held two reports";

  Group g;
  ASSERT_TRUE(t.store.FindGroup("EXCEPTION_ACCESS_VIOLATION", 0x0040160A, &g));
  EXPECT_EQ(g.count, 4);
  EXPECT_EQ(g.firstBuild, 37u);
  EXPECT_EQ(g.build, 39u);
  EXPECT_EQ(g.regressedBuild, 39);
  EXPECT_EQ(g.regressedMs, t.now);
  EXPECT_EQ(g.firstMs, t.now - kDay);
  EXPECT_EQ(g.lastMs, t.now);
  std::string builds;
  for (const BuildCount& b : t.store.BuildsOfGroup(g.id))
    builds += std::to_string(b.build) + ":" + std::to_string(b.count) + " ";
  EXPECT_EQ(builds, "37:1 38:1 39:2 ");
  Group divide;
  ASSERT_TRUE(t.store.FindGroup("EXCEPTION_INT_DIVIDE_BY_ZERO", 0x0040160A, &divide));
  EXPECT_EQ(divide.count, 2);
  EXPECT_EQ(t.store.CountReports(false), 1);
  EXPECT_EQ(t.store.DailyCounts(t.now / kDay - 1, 2), (std::vector<int64_t>{1, 6}));
  std::vector<std::string> kinds;
  int64_t next = 0;
  for (const Notice& n : t.store.DueNotices(t.now, 10, &next))
    kinds.push_back(std::to_string(n.groupId) + (n.kind == NoticeKind::kNew ? " new " : " regressed ") +
                    std::to_string(n.build));
  std::sort(kinds.begin(), kinds.end());
  const std::string id = std::to_string(g.id), other = std::to_string(divide.id);
  std::vector<std::string> expected = {id + " new 38", id + " regressed 39", other + " new 39"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(kinds, expected);
}

}  // namespace
}  // namespace reports
