#include "reports/store.h"

#include <algorithm>

namespace reports {
namespace {

// The most rows one transaction takes; more wait for the next.
const size_t kMaxBatch = 1024;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS reports ("
    " id INTEGER PRIMARY KEY,"
    " received_ms INTEGER NOT NULL,"
    " client TEXT NOT NULL,"
    " body BLOB NOT NULL,"
    " parsed INTEGER NOT NULL,"
    " exception TEXT,"
    " address INTEGER,"
    " build INTEGER);"
    "DROP INDEX IF EXISTS reports_by_group;"
    "CREATE INDEX IF NOT EXISTS reports_of_group"
    " ON reports(parsed, exception, address, received_ms);"
    "CREATE INDEX IF NOT EXISTS reports_by_time ON reports(received_ms);";

const char kColumns[] = "id, received_ms, client, body, parsed, exception, address, build";

}  // namespace

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error) *error = message ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

namespace {

StoredReport ReadRow(sqlite3_stmt* row) {
  StoredReport r;
  r.id = sqlite3_column_int64(row, 0);
  r.receivedMs = sqlite3_column_int64(row, 1);
  r.client = reinterpret_cast<const char*>(sqlite3_column_text(row, 2));
  const void* body = sqlite3_column_blob(row, 3);
  r.body.assign(static_cast<const char*>(body), static_cast<size_t>(sqlite3_column_bytes(row, 3)));
  r.parsed = sqlite3_column_int(row, 4) != 0;
  if (r.parsed) {
    r.fields.exception = reinterpret_cast<const char*>(sqlite3_column_text(row, 5));
    r.fields.address = static_cast<uint32_t>(sqlite3_column_int64(row, 6));
    r.fields.build = static_cast<unsigned>(sqlite3_column_int(row, 7));
  }
  return r;
}

}  // namespace

ReportStore::~ReportStore() { Close(); }

bool ReportStore::Open(const std::string& path, std::string* error) {
  path_ = path;
  auto fail = [&](sqlite3* db) {
    *error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot be opened");
    return false;
  };
  if (sqlite3_open_v2(path.c_str(), &writer_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK)
    return fail(writer_);
  sqlite3_busy_timeout(writer_, 5000);
  // WAL: readers of the page never wait for the writer. synchronous=FULL:
  // every commit syncs the log before it returns.
  std::string why;
  if (!Exec(writer_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", &why) ||
      !Exec(writer_, kSchema, &why)) {
    *error = path + ": " + why;
    return false;
  }
  sqlite3_stmt* mode = nullptr;
  sqlite3_prepare_v2(writer_, "PRAGMA journal_mode", -1, &mode, nullptr);
  const bool wal = mode && sqlite3_step(mode) == SQLITE_ROW &&
                   std::string(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0))) == "wal";
  sqlite3_finalize(mode);
  if (!wal) {
    *error = path + ": cannot be put in WAL mode";
    return false;
  }
  if (sqlite3_prepare_v2(writer_,
                         "INSERT INTO reports(received_ms, client, body, parsed, exception, "
                         "address, build) VALUES(?,?,?,?,?,?,?)",
                         -1, &insert_, nullptr) != SQLITE_OK)
    return fail(writer_);
  if (!OpenSummaries(&why)) {
    *error = path + ": " + why;
    return false;
  }
  if (sqlite3_open_v2(path.c_str(), &reader_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    return fail(reader_);
  sqlite3_busy_timeout(reader_, 5000);
  writerThread_ = std::thread([this] { WriterLoop(); });
  return true;
}

void ReportStore::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  arrived_.notify_all();
  if (writerThread_.joinable()) writerThread_.join();
  sqlite3_finalize(insert_);
  insert_ = nullptr;
  CloseSummaries();
  sqlite3_close(reader_);
  reader_ = nullptr;
  sqlite3_close(writer_);
  writer_ = nullptr;
}

bool ReportStore::Add(StoredReport* report) {
  Pending pending(report);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Without a writer (closed, or never opened) nothing would ever commit it.
    if (stopping_ || !writerThread_.joinable()) return false;
    queue_.push_back(&pending);
  }
  arrived_.notify_one();
  while (sem_wait(&pending.done) != 0) {
  }
  return pending.stored;
}

void ReportStore::WriterLoop() {
  std::vector<Pending*> batch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    arrived_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;  // stopping, and everything queued is done
    // Whatever arrived while the last commit was syncing goes in this one.
    batch.clear();
    while (!queue_.empty() && batch.size() < kMaxBatch) {
      batch.push_back(queue_.front());
      queue_.pop_front();
    }
    lock.unlock();
    const bool stored = CommitBatch(batch);
    // Counted before anyone is told: a request that has its answer finds
    // its commit in the counts.
    lock.lock();
    if (stored) {
      ++commits_;
      rows_ += batch.size();
    }
    lock.unlock();
    // Once posted, the waiter may return and its Pending is gone.
    for (Pending* p : batch) {
      p->stored = stored;
      sem_post(&p->done);
    }
    lock.lock();
  }
}

bool ReportStore::CommitBatch(const std::vector<Pending*>& batch) {
  const int64_t bytes = sizeLimit_;
  if (bytes != appliedSizeLimit_) {
    // A pragma takes no bound parameter; this is a number of ours.
    const int64_t pages = bytes > 0 ? std::max<int64_t>(1, bytes / PageSize()) : 4294967294;
    Exec(writer_, ("PRAGMA max_page_count=" + std::to_string(pages)).c_str(), nullptr);
    appliedSizeLimit_ = bytes;
  }
  if (!Exec(writer_, "BEGIN IMMEDIATE", nullptr)) return false;
  bool queuedNotice = false;
  for (Pending* p : batch) {
    const StoredReport& r = *p->report;
    sqlite3_reset(insert_);
    sqlite3_bind_int64(insert_, 1, r.receivedMs);
    sqlite3_bind_text(insert_, 2, r.client.data(), static_cast<int>(r.client.size()),
                      SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 3, r.body.data(), static_cast<int>(r.body.size()), SQLITE_STATIC);
    sqlite3_bind_int(insert_, 4, r.parsed ? 1 : 0);
    if (r.parsed) {
      sqlite3_bind_text(insert_, 5, r.fields.exception.data(),
                        static_cast<int>(r.fields.exception.size()), SQLITE_STATIC);
      sqlite3_bind_int64(insert_, 6, r.fields.address);
      sqlite3_bind_int(insert_, 7, static_cast<int>(r.fields.build));
    } else {
      for (int column = 5; column <= 7; ++column) sqlite3_bind_null(insert_, column);
    }
    if (sqlite3_step(insert_) != SQLITE_DONE) {
      sqlite3_reset(insert_);
      Exec(writer_, "ROLLBACK", nullptr);
      return false;
    }
    p->report->id = sqlite3_last_insert_rowid(writer_);
  }
  sqlite3_reset(insert_);
  if (!CountRows(batch, &queuedNotice)) {
    Exec(writer_, "ROLLBACK", nullptr);
    return false;
  }
  // A failed COMMIT (a full disk, an I/O error) leaves the transaction to
  // roll back: no row of the batch is stored, and no request hears "OK".
  if (!Exec(writer_, "COMMIT", nullptr)) {
    Exec(writer_, "ROLLBACK", nullptr);
    return false;
  }
  if (queuedNotice) wakeNotifier_();
  return true;
}

int64_t ReportStore::PageSize() {
  sqlite3_stmt* query = nullptr;
  int64_t size = 4096;
  if (sqlite3_prepare_v2(writer_, "PRAGMA page_size", -1, &query, nullptr) == SQLITE_OK &&
      sqlite3_step(query) == SQLITE_ROW)
    size = sqlite3_column_int64(query, 0);
  sqlite3_finalize(query);
  return size;
}

void ReportStore::CommitStats(uint64_t* commits, uint64_t* rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  *commits = commits_;
  *rows = rows_;
}

std::vector<StoredReport> ReportStore::QueryReports(
    const char* sql, const std::function<void(sqlite3_stmt*)>& bind) {
  std::vector<StoredReport> found;
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  if (sqlite3_prepare_v2(reader_, sql, -1, &query, nullptr) != SQLITE_OK) return found;
  bind(query);
  while (sqlite3_step(query) == SQLITE_ROW) found.push_back(ReadRow(query));
  sqlite3_finalize(query);
  return found;
}

int64_t ReportStore::CountReports(bool parsed) {
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  int64_t count = 0;
  // From the daily counts, which outlive the reports (group 0: unparsed).
  if (sqlite3_prepare_v2(reader_, "SELECT TOTAL(count) FROM daily_counts WHERE (group_id <> 0) = ?",
                         -1, &query, nullptr) == SQLITE_OK) {
    sqlite3_bind_int(query, 1, parsed ? 1 : 0);
    if (sqlite3_step(query) == SQLITE_ROW) count = sqlite3_column_int64(query, 0);
  }
  sqlite3_finalize(query);
  return count;
}

std::vector<Group> ReportStore::Groups(size_t limit) {
  return QueryGroups("ORDER BY count DESC, last_ms DESC LIMIT ?", [&](sqlite3_stmt* q) {
    sqlite3_bind_int64(q, 1, limit == 0 ? -1 : static_cast<int64_t>(limit));
  });
}

std::vector<Group> ReportStore::GroupsAfter(int64_t afterId, size_t limit) {
  return QueryGroups("WHERE id > ? ORDER BY id LIMIT ?", [&](sqlite3_stmt* q) {
    sqlite3_bind_int64(q, 1, afterId);
    sqlite3_bind_int64(q, 2, static_cast<int64_t>(limit));
  });
}

int64_t ReportStore::CountGroups() {
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  int64_t count = 0;
  if (sqlite3_prepare_v2(reader_, "SELECT COUNT(*) FROM crash_groups", -1, &query, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(query) == SQLITE_ROW)
    count = sqlite3_column_int64(query, 0);
  sqlite3_finalize(query);
  return count;
}

bool ReportStore::FindGroup(const std::string& exception, uint32_t address, Group* group) {
  std::vector<Group> found =
      QueryGroups("WHERE exception = ? AND address = ?", [&](sqlite3_stmt* q) {
        sqlite3_bind_text(q, 1, exception.data(), static_cast<int>(exception.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(q, 2, address);
      });
  if (found.empty()) return false;
  *group = std::move(found[0]);
  return true;
}

std::vector<StoredReport> ReportStore::LatestOfGroup(const Group& group, size_t limit) {
  const std::string sql = std::string("SELECT ") + kColumns +
                          " FROM reports WHERE parsed = 1 AND exception = ?"
                          " AND address = ? ORDER BY received_ms DESC, id DESC LIMIT ?";
  return QueryReports(sql.c_str(), [&](sqlite3_stmt* q) {
    sqlite3_bind_text(q, 1, group.exception.data(), static_cast<int>(group.exception.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(q, 2, group.address);
    sqlite3_bind_int64(q, 3, static_cast<int64_t>(limit));
  });
}

std::vector<StoredReport> ReportStore::LatestUnparsed(size_t limit) {
  const std::string sql = std::string("SELECT ") + kColumns +
                          " FROM reports WHERE parsed = 0 ORDER BY id DESC LIMIT ?";
  return QueryReports(sql.c_str(), [&](sqlite3_stmt* q) {
    sqlite3_bind_int64(q, 1, static_cast<int64_t>(limit));
  });
}

std::vector<StoredReport> ReportStore::ReportsAfter(int64_t afterId, size_t limit) {
  const std::string sql = std::string("SELECT ") + kColumns +
                          " FROM reports WHERE id > ? ORDER BY id LIMIT ?";
  return QueryReports(sql.c_str(), [&](sqlite3_stmt* q) {
    sqlite3_bind_int64(q, 1, afterId);
    sqlite3_bind_int64(q, 2, static_cast<int64_t>(limit));
  });
}

std::vector<int64_t> ReportStore::DailyCounts(int64_t firstDay, int days) {
  std::vector<int64_t> counts(static_cast<size_t>(days), 0);
  std::lock_guard<std::mutex> lock(readMutex_);
  sqlite3_stmt* query = nullptr;
  if (sqlite3_prepare_v2(reader_,
                         "SELECT day, SUM(count) FROM daily_counts WHERE day >= ? GROUP BY day",
                         -1, &query, nullptr) != SQLITE_OK)
    return counts;
  sqlite3_bind_int64(query, 1, firstDay);
  while (sqlite3_step(query) == SQLITE_ROW) {
    const int64_t index = sqlite3_column_int64(query, 0) - firstDay;
    if (index >= 0 && index < days) counts[static_cast<size_t>(index)] = sqlite3_column_int64(query, 1);
  }
  sqlite3_finalize(query);
  return counts;
}

}  // namespace reports
