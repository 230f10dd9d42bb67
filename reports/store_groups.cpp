// What the store keeps beside the reports: each group with its builds and
// its reports per day, counted in the writer's transaction with each row,
// so that the page, its chart, the totals and the states outlive the raw
// reports; the maker's marks; and the notices still to send.
#include <algorithm>
#include <map>
#include <string_view>
#include <tuple>

#include "reports/group_state.h"
#include "reports/intake.h"
#include "reports/store.h"

namespace reports {
namespace {

const int64_t kDayMs = 86400000;

// group_id 0 in daily_counts: the unparsed deliveries.
const char kSummarySchema[] =
    "CREATE TABLE IF NOT EXISTS crash_groups ("
    " id INTEGER PRIMARY KEY,"
    " exception TEXT NOT NULL,"
    " address INTEGER NOT NULL,"
    " count INTEGER NOT NULL,"
    " first_ms INTEGER NOT NULL,"
    " last_ms INTEGER NOT NULL,"
    " first_build INTEGER NOT NULL,"
    " last_build INTEGER NOT NULL,"
    " fixed_build INTEGER,"
    " fixed_ms INTEGER,"
    " regressed_build INTEGER,"
    " regressed_ms INTEGER,"
    " UNIQUE(exception, address));"
    "CREATE INDEX IF NOT EXISTS crash_groups_by_count ON crash_groups(count, last_ms);"
    "CREATE INDEX IF NOT EXISTS crash_groups_by_first ON crash_groups(first_ms);"
    "CREATE TABLE IF NOT EXISTS group_builds ("
    " group_id INTEGER NOT NULL, build INTEGER NOT NULL, count INTEGER NOT NULL,"
    " first_ms INTEGER NOT NULL, last_ms INTEGER NOT NULL,"
    " PRIMARY KEY(group_id, build)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS daily_counts ("
    " group_id INTEGER NOT NULL, day INTEGER NOT NULL, count INTEGER NOT NULL,"
    " PRIMARY KEY(group_id, day)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS notices ("
    " id INTEGER PRIMARY KEY,"
    " kind INTEGER NOT NULL,"
    " group_id INTEGER NOT NULL,"
    " build INTEGER NOT NULL,"
    " created_ms INTEGER NOT NULL,"
    " state INTEGER NOT NULL,"  // 0 waiting, 1 sent, 2 folded into digest_id
    " digest_id INTEGER,"
    " folded INTEGER NOT NULL DEFAULT 0,"
    " done INTEGER NOT NULL DEFAULT 0,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " next_try_ms INTEGER NOT NULL DEFAULT 0,"
    " sent_ms INTEGER,"
    " last_error TEXT,"
    " last_error_ms INTEGER);"
    "CREATE INDEX IF NOT EXISTS notices_by_state ON notices(state, next_try_ms);"
    "CREATE INDEX IF NOT EXISTS notices_by_sent ON notices(sent_ms);";

// A store written before the summaries existed has its reports counted once.
const char kFillSummaries[] =
    "BEGIN IMMEDIATE;"
    "INSERT INTO crash_groups(exception, address, count, first_ms, last_ms, first_build,"
    " last_build) SELECT exception, address, COUNT(*), MIN(received_ms), MAX(received_ms),"
    " MIN(build), MAX(build) FROM reports WHERE parsed = 1 GROUP BY exception, address;"
    "INSERT INTO group_builds SELECT g.id, r.build, COUNT(*), MIN(r.received_ms),"
    " MAX(r.received_ms) FROM reports r JOIN crash_groups g ON r.parsed = 1"
    " AND g.exception = r.exception AND g.address = r.address GROUP BY g.id, r.build;"
    "INSERT INTO daily_counts SELECT COALESCE(g.id, 0), r.received_ms / 86400000, COUNT(*)"
    " FROM reports r LEFT JOIN crash_groups g ON r.parsed = 1 AND g.exception = r.exception"
    " AND g.address = r.address GROUP BY 1, 2;"
    "PRAGMA user_version = 1;"
    "COMMIT;";

const char kGroupColumns[] =
    "SELECT id, exception, address, count, first_ms, last_ms, first_build, last_build,"
    " fixed_build, fixed_ms, regressed_build, regressed_ms FROM crash_groups ";

int NullableInt(sqlite3_stmt* row, int column) {
  return sqlite3_column_type(row, column) == SQLITE_NULL ? -1 : sqlite3_column_int(row, column);
}

std::string Text(sqlite3_stmt* row, int column) {
  const unsigned char* text = sqlite3_column_text(row, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

Group ReadGroup(sqlite3_stmt* row) {
  Group g;
  g.id = sqlite3_column_int64(row, 0);
  g.exception = Text(row, 1);
  g.address = static_cast<uint32_t>(sqlite3_column_int64(row, 2));
  g.count = sqlite3_column_int64(row, 3);
  g.firstMs = sqlite3_column_int64(row, 4);
  g.lastMs = sqlite3_column_int64(row, 5);
  g.firstBuild = static_cast<unsigned>(sqlite3_column_int(row, 6));
  g.build = static_cast<unsigned>(sqlite3_column_int(row, 7));
  g.fixedBuild = NullableInt(row, 8);
  g.fixedMs = sqlite3_column_int64(row, 9);
  g.regressedBuild = NullableInt(row, 10);
  g.regressedMs = sqlite3_column_int64(row, 11);
  return g;
}

bool Prepare(sqlite3* db, const char* sql, sqlite3_stmt** statement) {
  return sqlite3_prepare_v2(db, sql, -1, statement, nullptr) == SQLITE_OK;
}

// Prepares, binds and runs a statement that returns no rows; false on an
// error.
bool Step(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& bind) {
  sqlite3_stmt* statement = nullptr;
  if (!Prepare(db, sql, &statement)) return false;
  bind(statement);
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  sqlite3_finalize(statement);
  return done;
}

// Runs a statement to its end; false on an error.
bool Finish(sqlite3_stmt* statement) {
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  sqlite3_reset(statement);
  return step == SQLITE_DONE;
}

}  // namespace

bool ReportStore::OpenSummaries(std::string* error) {
  if (!clock_) clock_ = NowMs;
  if (!Exec(writer_, kSummarySchema, error)) return false;
  sqlite3_stmt* version = nullptr;
  int userVersion = 0;
  if (Prepare(writer_, "PRAGMA user_version", &version) && sqlite3_step(version) == SQLITE_ROW)
    userVersion = sqlite3_column_int(version, 0);
  sqlite3_finalize(version);
  if (userVersion < 1 && !Exec(writer_, kFillSummaries, error)) {
    Exec(writer_, "ROLLBACK", nullptr);
    return false;
  }
  if (!Prepare(writer_,
               "INSERT INTO crash_groups(exception, address, count, first_ms, last_ms,"
               " first_build, last_build) VALUES(?1, ?2, ?5, ?3, ?6, ?4, ?4)"
               " ON CONFLICT(exception, address) DO UPDATE SET count = count + ?5,"
               " first_ms = MIN(first_ms, ?3), last_ms = MAX(last_ms, ?6),"
               " first_build = MIN(first_build, ?4), last_build = MAX(last_build, ?4)"
               " RETURNING id, count, fixed_build, regressed_build",
               &countGroup_) ||
      !Prepare(writer_,
               "INSERT INTO group_builds VALUES(?1, ?2, ?4, ?3, ?5) ON CONFLICT DO UPDATE SET"
               " count = count + ?4, first_ms = MIN(first_ms, ?3), last_ms = MAX(last_ms, ?5)",
               &countBuild_) ||
      !Prepare(writer_,
               "INSERT INTO daily_counts VALUES(?1, ?2, ?3) ON CONFLICT DO UPDATE SET"
               " count = count + ?3",
               &countDay_) ||
      !Prepare(writer_, "UPDATE crash_groups SET regressed_build = ?2, regressed_ms = ?3 WHERE id = ?1",
               &regress_) ||
      !Prepare(writer_,
               "INSERT INTO notices(kind, group_id, build, created_ms, state) VALUES(?, ?, ?, ?, 0)",
               &queueNotice_)) {
    *error = sqlite3_errmsg(writer_);
    return false;
  }
  if (sqlite3_open_v2(path_.c_str(), &upkeep_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    *error = upkeep_ ? sqlite3_errmsg(upkeep_) : "cannot be opened";
    return false;
  }
  sqlite3_busy_timeout(upkeep_, 5000);
  return true;
}

void ReportStore::CloseSummaries() {
  for (sqlite3_stmt** s : {&countGroup_, &countBuild_, &countDay_, &regress_, &queueNotice_}) {
    sqlite3_finalize(*s);
    *s = nullptr;
  }
  sqlite3_close(upkeep_);
  upkeep_ = nullptr;
}

// A batch of a flood is mostly one crash from one build: its reports are
// counted together, a statement per group, build and day rather than per
// report. Taken in the order each first came, they change the groups as
// report by report would: a group is new with its first report, and
// regresses with the first report from its fixed build or later.
bool ReportStore::CountRows(const std::vector<Pending*>& batch, bool* queuedNotice) {
  struct Tally {
    const StoredReport* first;
    int64_t count, firstMs, lastMs;
  };
  using Key = std::tuple<bool, std::string_view, uint32_t, unsigned, int64_t>;
  std::map<Key, size_t> index;
  std::vector<Tally> tallies;
  for (const Pending* p : batch) {
    const StoredReport& r = *p->report;
    const Key key = r.parsed ? Key(true, r.fields.exception, r.fields.address, r.fields.build,
                                   r.receivedMs / kDayMs)
                             : Key(false, {}, 0, 0, r.receivedMs / kDayMs);
    const auto [at, added] = index.emplace(key, tallies.size());
    if (added) tallies.push_back(Tally{&r, 0, r.receivedMs, r.receivedMs});
    Tally& t = tallies[at->second];
    ++t.count;
    t.firstMs = std::min(t.firstMs, r.receivedMs);
    t.lastMs = std::max(t.lastMs, r.receivedMs);
  }
  for (const Tally& t : tallies)
    if (!CountAlike(*t.first, t.count, t.firstMs, t.lastMs, queuedNotice)) return false;
  return true;
}

bool ReportStore::CountAlike(const StoredReport& r, int64_t count, int64_t firstMs,
                             int64_t lastMs, bool* queuedNotice) {
  int64_t groupId = 0;
  if (r.parsed) {
    sqlite3_bind_text(countGroup_, 1, r.fields.exception.data(),
                      static_cast<int>(r.fields.exception.size()), SQLITE_STATIC);
    sqlite3_bind_int64(countGroup_, 2, r.fields.address);
    sqlite3_bind_int64(countGroup_, 3, firstMs);
    sqlite3_bind_int(countGroup_, 4, static_cast<int>(r.fields.build));
    sqlite3_bind_int64(countGroup_, 5, count);
    sqlite3_bind_int64(countGroup_, 6, lastMs);
    if (sqlite3_step(countGroup_) != SQLITE_ROW) {
      sqlite3_reset(countGroup_);
      return false;
    }
    groupId = sqlite3_column_int64(countGroup_, 0);
    const bool first = sqlite3_column_int64(countGroup_, 1) == count;
    const bool regresses = Regresses(NullableInt(countGroup_, 2), NullableInt(countGroup_, 3),
                                     r.fields.build);
    if (!Finish(countGroup_)) return false;
    if (regresses) {
      sqlite3_bind_int64(regress_, 1, groupId);
      sqlite3_bind_int(regress_, 2, static_cast<int>(r.fields.build));
      sqlite3_bind_int64(regress_, 3, firstMs);
      if (!Finish(regress_)) return false;
    }
    if (wakeNotifier_ && (first || regresses)) {
      sqlite3_bind_int(queueNotice_, 1,
                       static_cast<int>(first ? NoticeKind::kNew : NoticeKind::kRegressed));
      sqlite3_bind_int64(queueNotice_, 2, groupId);
      sqlite3_bind_int(queueNotice_, 3, static_cast<int>(r.fields.build));
      sqlite3_bind_int64(queueNotice_, 4, firstMs);
      if (!Finish(queueNotice_)) return false;
      *queuedNotice = true;
    }
    sqlite3_bind_int64(countBuild_, 1, groupId);
    sqlite3_bind_int(countBuild_, 2, static_cast<int>(r.fields.build));
    sqlite3_bind_int64(countBuild_, 3, firstMs);
    sqlite3_bind_int64(countBuild_, 4, count);
    sqlite3_bind_int64(countBuild_, 5, lastMs);
    if (!Finish(countBuild_)) return false;
  }
  sqlite3_bind_int64(countDay_, 1, groupId);
  sqlite3_bind_int64(countDay_, 2, firstMs / kDayMs);
  sqlite3_bind_int64(countDay_, 3, count);
  return Finish(countDay_);
}

std::vector<Group> ReportStore::QueryGroups(const char* where,
                                            const std::function<void(sqlite3_stmt*)>& bind) {
  std::vector<Group> groups;
  const std::string sql = std::string(kGroupColumns) + where;
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  if (!Prepare(reader_, sql.c_str(), &query)) return groups;
  bind(query);
  while (sqlite3_step(query) == SQLITE_ROW) groups.push_back(ReadGroup(query));
  sqlite3_finalize(query);
  return groups;
}

std::vector<Group> ReportStore::AttentionGroups(size_t limit) {
  return QueryGroups(
      "WHERE regressed_build IS NOT NULL OR (first_ms > ?1 AND fixed_build IS NULL)"
      " ORDER BY regressed_build IS NULL, last_ms DESC LIMIT ?2",
      [&](sqlite3_stmt* q) {
        sqlite3_bind_int64(q, 1, Now() - kNewForMs);
        sqlite3_bind_int64(q, 2, static_cast<int64_t>(limit));
      });
}

bool ReportStore::GroupById(int64_t id, Group* group) {
  std::vector<Group> found =
      QueryGroups("WHERE id = ?", [&](sqlite3_stmt* q) { sqlite3_bind_int64(q, 1, id); });
  if (found.empty()) return false;
  *group = std::move(found[0]);
  return true;
}

std::vector<BuildCount> ReportStore::BuildsOfGroup(int64_t groupId) {
  std::vector<BuildCount> builds;
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  if (!Prepare(reader_,
               "SELECT build, count, first_ms, last_ms FROM group_builds WHERE group_id = ?"
               " ORDER BY build",
               &query))
    return builds;
  sqlite3_bind_int64(query, 1, groupId);
  while (sqlite3_step(query) == SQLITE_ROW)
    builds.push_back(BuildCount{static_cast<unsigned>(sqlite3_column_int(query, 0)),
                                sqlite3_column_int64(query, 1), sqlite3_column_int64(query, 2),
                                sqlite3_column_int64(query, 3)});
  sqlite3_finalize(query);
  return builds;
}

bool ReportStore::Upkeep(const char* sql, const std::function<void(sqlite3_stmt*)>& bind) {
  std::lock_guard<std::mutex> lock(upkeepMutex_);
  return Step(upkeep_, sql, bind) && sqlite3_changes(upkeep_) > 0;
}

// A mark, or with `build` -1 its undo; either clears a regression.
bool ReportStore::SetFixed(const std::string& exception, uint32_t address, int build) {
  return Upkeep(
      "UPDATE crash_groups SET fixed_build = ?3, fixed_ms = ?4, regressed_build = NULL,"
      " regressed_ms = NULL WHERE exception = ?1 AND address = ?2",
      [&](sqlite3_stmt* s) {
        sqlite3_bind_text(s, 1, exception.data(), static_cast<int>(exception.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(s, 2, address);
        if (build >= 0) {
          sqlite3_bind_int(s, 3, build);
          sqlite3_bind_int64(s, 4, Now());
        }  // unbound: NULL
      });
}

bool ReportStore::MarkFixed(const std::string& exception, uint32_t address, unsigned build) {
  return SetFixed(exception, address, static_cast<int>(build));
}

bool ReportStore::Reopen(const std::string& exception, uint32_t address) {
  return SetFixed(exception, address, -1);
}

int64_t ReportStore::DeleteReportsBefore(int64_t beforeMs, size_t batch) {
  std::lock_guard<std::mutex> lock(upkeepMutex_);
  sqlite3_stmt* statement = nullptr;
  int64_t deleted = 0;
  if (Prepare(upkeep_,
              "DELETE FROM reports WHERE id IN (SELECT id FROM reports WHERE received_ms < ?"
              " ORDER BY received_ms LIMIT ?)",
              &statement)) {
    sqlite3_bind_int64(statement, 1, beforeMs);
    sqlite3_bind_int64(statement, 2, static_cast<int64_t>(batch));
    if (sqlite3_step(statement) == SQLITE_DONE) deleted = sqlite3_changes(upkeep_);
  }
  sqlite3_finalize(statement);
  return deleted;
}

int64_t ReportStore::CountRawReports() {
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  int64_t count = 0;
  if (Prepare(reader_, "SELECT COUNT(*) FROM reports", &query) && sqlite3_step(query) == SQLITE_ROW)
    count = sqlite3_column_int64(query, 0);
  sqlite3_finalize(query);
  return count;
}

std::vector<Notice> ReportStore::DueNotices(int64_t nowMs, size_t limit, int64_t* nextDueMs) {
  std::vector<Notice> due;
  *nextDueMs = 0;
  std::lock_guard<std::mutex> lock(upkeepMutex_);
  sqlite3_stmt* query = nullptr;
  if (!Prepare(upkeep_,
               "SELECT id, kind, group_id, build, created_ms, folded, done, failures, next_try_ms"
               " FROM notices WHERE state = 0 ORDER BY next_try_ms > ?1,"
               " CASE WHEN next_try_ms > ?1 THEN next_try_ms ELSE 0 END, id",
               &query))
    return due;
  sqlite3_bind_int64(query, 1, nowMs);
  while (sqlite3_step(query) == SQLITE_ROW) {
    const int64_t nextTry = sqlite3_column_int64(query, 8);
    if (nextTry > nowMs || due.size() == limit) {
      *nextDueMs = std::max(nextTry, nowMs);
      break;
    }
    Notice n;
    n.id = sqlite3_column_int64(query, 0);
    n.kind = static_cast<NoticeKind>(sqlite3_column_int(query, 1));
    n.groupId = sqlite3_column_int64(query, 2);
    n.build = static_cast<unsigned>(sqlite3_column_int(query, 3));
    n.createdMs = sqlite3_column_int64(query, 4);
    n.folded = sqlite3_column_int64(query, 5);
    n.done = sqlite3_column_int(query, 6);
    n.failures = sqlite3_column_int(query, 7);
    due.push_back(n);
  }
  sqlite3_finalize(query);
  return due;
}

RecentNotices ReportStore::RecentlySent(int64_t sinceMs) {
  RecentNotices recent;
  std::lock_guard<std::mutex> lock(upkeepMutex_);
  sqlite3_stmt* query = nullptr;
  if (!Prepare(upkeep_, "SELECT kind, group_id FROM notices WHERE sent_ms > ? AND state = 1",
               &query))
    return recent;
  sqlite3_bind_int64(query, 1, sinceMs);
  while (sqlite3_step(query) == SQLITE_ROW) {
    if (static_cast<NoticeKind>(sqlite3_column_int(query, 0)) == NoticeKind::kDigest) {
      recent.digest = true;
    } else {
      ++recent.sent;
      recent.groups.push_back(sqlite3_column_int64(query, 1));
    }
  }
  sqlite3_finalize(query);
  return recent;
}

bool ReportStore::FoldNotices(const std::vector<int64_t>& ids) {
  if (ids.empty()) return true;
  std::lock_guard<std::mutex> lock(upkeepMutex_);
  if (!Exec(upkeep_, "BEGIN IMMEDIATE", nullptr)) return false;
  // The one digest still to send takes them; made when there is none.
  const char kOpenDigest[] = "(SELECT id FROM notices WHERE state = 0 AND kind = 2)";
  bool ok = Step(upkeep_,
                 (std::string("INSERT INTO notices(kind, group_id, build, created_ms, state)"
                              " SELECT 2, 0, 0, ?, 0 WHERE NOT EXISTS ") + kOpenDigest).c_str(),
                 [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, Now()); });
  const std::string fold = std::string("UPDATE notices SET state = 2, digest_id = ") + kOpenDigest +
                           " WHERE id = ? AND state = 0";
  int64_t folded = 0;
  for (size_t i = 0; ok && i < ids.size(); ++i) {
    ok = Step(upkeep_, fold.c_str(), [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, ids[i]); });
    folded += sqlite3_changes(upkeep_);
  }
  ok = ok && Step(upkeep_, "UPDATE notices SET folded = folded + ? WHERE state = 0 AND kind = 2",
                  [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, folded); });
  if (ok && Exec(upkeep_, "COMMIT", nullptr)) return true;
  Exec(upkeep_, "ROLLBACK", nullptr);
  return false;
}

std::vector<Group> ReportStore::FoldedGroups(int64_t digestId, size_t limit) {
  return QueryGroups(
      "WHERE id IN (SELECT group_id FROM notices WHERE digest_id = ?1) ORDER BY first_ms LIMIT ?2",
      [&](sqlite3_stmt* q) {
        sqlite3_bind_int64(q, 1, digestId);
        sqlite3_bind_int64(q, 2, static_cast<int64_t>(limit));
      });
}

void ReportStore::NoticeSent(int64_t id, int done, int64_t nowMs) {
  Upkeep("UPDATE notices SET state = 1, done = ?2, sent_ms = ?3 WHERE id = ?1",
         [&](sqlite3_stmt* s) {
           sqlite3_bind_int64(s, 1, id);
           sqlite3_bind_int(s, 2, done);
           sqlite3_bind_int64(s, 3, nowMs);
         });
}

void ReportStore::NoticeFailed(int64_t id, int done, const std::string& error, int64_t nowMs,
                               int64_t retryAtMs) {
  Upkeep(
      "UPDATE notices SET done = ?2, failures = failures + 1, last_error = ?3,"
      " last_error_ms = ?4, next_try_ms = ?5 WHERE id = ?1",
      [&](sqlite3_stmt* s) {
        sqlite3_bind_int64(s, 1, id);
        sqlite3_bind_int(s, 2, done);
        sqlite3_bind_text(s, 3, error.data(), static_cast<int>(error.size()), SQLITE_STATIC);
        sqlite3_bind_int64(s, 4, nowMs);
        sqlite3_bind_int64(s, 5, retryAtMs);
      });
}

NoticeStats ReportStore::NoticeStatus() {
  NoticeStats stats;
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  if (Prepare(reader_,
              "SELECT TOTAL(state = 0), TOTAL(state = 1), TOTAL(state = 2), TOTAL(failures),"
              " (SELECT last_error FROM notices WHERE last_error_ms IS NOT NULL"
              "  ORDER BY last_error_ms DESC LIMIT 1),"
              " MAX(last_error_ms) FROM notices",
              &query) &&
      sqlite3_step(query) == SQLITE_ROW) {
    stats.waiting = sqlite3_column_int64(query, 0);
    stats.sent = sqlite3_column_int64(query, 1);
    stats.folded = sqlite3_column_int64(query, 2);
    stats.failures = sqlite3_column_int64(query, 3);
    stats.lastError = Text(query, 4);
    stats.lastErrorMs = sqlite3_column_int64(query, 5);
  }
  sqlite3_finalize(query);
  return stats;
}

}  // namespace reports
