// The reports, kept in SQLite. Intake threads hand rows to one writer
// thread, which commits whatever has arrived in one transaction (group
// commit): with WAL and synchronous=FULL a commit returns only once the log
// is synced to disk, and each waiting request is told its row is stored only
// then. Concurrent requests share one sync, so the rate is not one sync per
// report.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reports/report_body.h"

namespace reports {

struct StoredReport {
  int64_t id = 0;
  int64_t receivedMs = 0;  // milliseconds since 1970, UTC
  std::string client;      // the sender's address
  std::string body;        // as received, byte for byte
  bool parsed = false;
  ReportFields fields;     // when parsed
};

// A group: the reports of one build with one exception at one address.
struct Group {
  unsigned build = 0;
  std::string exception;
  uint32_t address = 0;
  int64_t count = 0;
  int64_t firstMs = 0;
  int64_t lastMs = 0;
};

class ReportStore {
 public:
  ReportStore() = default;
  ~ReportStore();
  ReportStore(const ReportStore&) = delete;
  ReportStore& operator=(const ReportStore&) = delete;

  // Opens (or creates) the database and starts the writer. False, with the
  // reason, when it cannot be opened or is not a database of ours.
  bool Open(const std::string& path, std::string* error);
  // Commits what is queued, stops the writer and closes.
  void Close();

  // Stores `report` and returns once it is durable: true, with its id set,
  // after its transaction committed; false when the commit failed.
  bool Add(StoredReport* report);

  // For the maker's page and the export; each uses a connection of its own.
  int64_t CountReports(bool parsed);
  std::vector<Group> Groups(size_t limit);  // by count, largest first
  int64_t CountGroups();
  // The groups after `after` (nullptr: from the first) in the order of
  // their keys (build, exception, address), at most `limit`: each batch
  // is read through the index, so that the export of many groups streams.
  std::vector<Group> GroupsAfter(const Group* after, size_t limit);
  bool FindGroup(unsigned build, const std::string& exception, uint32_t address, Group* group);
  std::vector<StoredReport> LatestOfGroup(const Group& group, size_t limit);
  std::vector<StoredReport> LatestUnparsed(size_t limit);
  // Reports per UTC day from `firstDay` (days since 1970) on, `days` of them.
  std::vector<int64_t> DailyCounts(int64_t firstDay, int days);
  // Every report with an id above `afterId`, in id order, at most `limit`.
  std::vector<StoredReport> ReportsAfter(int64_t afterId, size_t limit);

  // Holds the store to about `bytes` (0: no bound but SQLite's own; never
  // below its size now) from the next commit on: a commit that needs more
  // fails, and its reports are answered 503, as on a full disk.
  void LimitSize(int64_t bytes) { sizeLimit_ = bytes; }

  // What the writer did: transactions committed and rows in them.
  void CommitStats(uint64_t* commits, uint64_t* rows);

 private:
  struct Pending {
    StoredReport* report;
    bool finished = false;
    bool stored = false;
  };
  void WriterLoop();
  bool CommitBatch(const std::vector<Pending*>& batch);
  int64_t PageSize();  // the writer's
  std::vector<StoredReport> QueryReports(const char* sql,
                                         const std::function<void(sqlite3_stmt*)>& bind);
  std::vector<Group> QueryGroups(const char* sql, const std::function<void(sqlite3_stmt*)>& bind);

  std::string path_;
  sqlite3* writer_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  std::thread writerThread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable committed_;
  std::deque<Pending*> queue_;
  bool stopping_ = false;
  uint64_t commits_ = 0, rows_ = 0;
  std::atomic<int64_t> sizeLimit_{0};
  int64_t appliedSizeLimit_ = 0;  // the writer's

  std::mutex readMutex_;
  sqlite3* reader_ = nullptr;
};

}  // namespace reports
