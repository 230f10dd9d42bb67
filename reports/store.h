// The reports, kept in SQLite. Intake threads hand rows to one writer
// thread, which commits whatever has arrived in one transaction (group
// commit): with WAL and synchronous=FULL a commit returns only once the log
// is synced to disk, and each waiting request is told its row is stored only
// then. Concurrent requests share one sync, so the rate is not one sync per
// report.
#pragma once

#include <semaphore.h>
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

// A group: the reports of one exception at one address, over every build.
// Its counts are kept beside the reports, in the same transaction as each
// row, so that they outlive the reports themselves (retention).
struct Group {
  unsigned build = 0;  // the latest build it was seen in
  std::string exception;
  uint32_t address = 0;
  int64_t count = 0;
  int64_t firstMs = 0;
  int64_t lastMs = 0;
  int64_t id = 0;
  unsigned firstBuild = 0;
  int fixedBuild = -1;      // the maker's word: fixed in this build; -1: not marked
  int64_t fixedMs = 0;
  int regressedBuild = -1;  // the build of the first report since, from fixedBuild on
  int64_t regressedMs = 0;
};

// The reports of a group from one build.
struct BuildCount {
  unsigned build = 0;
  int64_t count = 0;
  int64_t firstMs = 0;
  int64_t lastMs = 0;
};

// A notice to send: a group came (kNew) or a fixed one came back
// (kRegressed); a digest tells of the new groups past the hour's bound.
enum class NoticeKind { kNew, kRegressed, kDigest };

struct Notice {
  int64_t id = 0;
  NoticeKind kind = NoticeKind::kNew;
  int64_t groupId = 0;  // 0 for a digest
  unsigned build = 0;   // the build of the report that raised it
  int64_t createdMs = 0;
  int64_t folded = 0;   // a digest: how many new groups it tells of
  int done = 0;         // the channels it has reached, as bits
  int failures = 0;
};

// What the page says of the notices.
struct NoticeStats {
  int64_t waiting = 0, sent = 0, folded = 0, failures = 0;
  std::string lastError;
  int64_t lastErrorMs = 0;
};

// What was sent in the last hour, for the bounds.
struct RecentNotices {
  int64_t sent = 0;  // notices of a group (not digests)
  std::vector<int64_t> groups;
  bool digest = false;
};

// Runs `sql`; false, with SQLite's message in `error` (if given), on an error.
bool Exec(sqlite3* db, const char* sql, std::string* error);

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
  std::vector<Group> Groups(size_t limit);  // by count, largest first; 0: all
  int64_t CountGroups();
  // The groups with an id above `afterId`, in id order, at most `limit`:
  // each batch is read through the key, so that the export of many groups
  // streams.
  std::vector<Group> GroupsAfter(int64_t afterId, size_t limit);
  bool FindGroup(const std::string& exception, uint32_t address, Group* group);
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

  // The clock of states, retention and notices; tests move it.
  void SetClock(std::function<int64_t()> clock) { clock_ = std::move(clock); }
  int64_t Now() const { return clock_(); }

  // Before Open: queue a notice for each new group and each regression, and
  // call `wake` after a commit that queued one. Off, none are queued.
  void SetNotices(std::function<void()> wake) { wakeNotifier_ = std::move(wake); }

  // The groups that need the maker's eye: regressed, or first seen within
  // the last day; regressed first, then the latest. At most `limit`.
  std::vector<Group> AttentionGroups(size_t limit);
  std::vector<BuildCount> BuildsOfGroup(int64_t groupId);
  bool GroupById(int64_t id, Group* group);
  // The maker's word: fixed in `build` (true when the group exists), or
  // not fixed after all.
  bool MarkFixed(const std::string& exception, uint32_t address, unsigned build);
  bool Reopen(const std::string& exception, uint32_t address);

  // Deletes at most `batch` reports received before `beforeMs`, the oldest
  // first; how many. The groups' counts stay.
  int64_t DeleteReportsBefore(int64_t beforeMs, size_t batch);
  int64_t CountRawReports();

  // The notices due at `nowMs`, oldest first; the time the next one is due
  // (0: none waiting).
  std::vector<Notice> DueNotices(int64_t nowMs, size_t limit, int64_t* nextDueMs);
  RecentNotices RecentlySent(int64_t sinceMs);
  // Folds waiting new-group notices into the digest still to send (made
  // if there is none).
  bool FoldNotices(const std::vector<int64_t>& ids);
  // The groups a digest tells of, at most `limit`.
  std::vector<Group> FoldedGroups(int64_t digestId, size_t limit);
  void NoticeSent(int64_t id, int done, int64_t nowMs);
  void NoticeFailed(int64_t id, int done, const std::string& error, int64_t nowMs,
                    int64_t retryAtMs);
  NoticeStats NoticeStatus();

 private:
  // A request waiting for its row. Each has a semaphore of its own: woken
  // together on one condition, a whole batch of threads would queue for one
  // mutex. A semaphore may be destroyed once sem_wait has returned, even
  // while sem_post is still returning.
  struct Pending {
    explicit Pending(StoredReport* r) : report(r) { sem_init(&done, 0, 0); }
    ~Pending() { sem_destroy(&done); }
    StoredReport* report;
    sem_t done;
    bool stored = false;
  };
  void WriterLoop();
  bool CommitBatch(const std::vector<Pending*>& batch);
  int64_t PageSize();  // the writer's
  // Summaries (store_groups.cpp): their tables, made and filled from the
  // reports of an older store; the statements that count each row.
  bool OpenSummaries(std::string* error);
  void CloseSummaries();
  bool CountRows(const std::vector<Pending*>& batch, bool* queuedNotice);
  // Counts `count` reports alike to `report` (its group, build and day).
  bool CountAlike(const StoredReport& report, int64_t count, int64_t firstMs, int64_t lastMs,
                  bool* queuedNotice);
  std::vector<Group> QueryGroups(const char* where, const std::function<void(sqlite3_stmt*)>& bind);
  bool Upkeep(const char* sql, const std::function<void(sqlite3_stmt*)>& bind);
  bool SetFixed(const std::string& exception, uint32_t address, int build);
  std::vector<StoredReport> QueryReports(const char* sql,
                                         const std::function<void(sqlite3_stmt*)>& bind);

  std::string path_;
  sqlite3* writer_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  std::thread writerThread_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<Pending*> queue_;
  bool stopping_ = false;
  uint64_t commits_ = 0, rows_ = 0;
  std::atomic<int64_t> sizeLimit_{0};
  int64_t appliedSizeLimit_ = 0;  // the writer's

  std::mutex readMutex_;
  sqlite3* reader_ = nullptr;

  std::function<int64_t()> clock_;
  std::function<void()> wakeNotifier_;
  // The writer's statements that keep the groups, builds and days.
  sqlite3_stmt* countGroup_ = nullptr;
  sqlite3_stmt* countBuild_ = nullptr;
  sqlite3_stmt* countDay_ = nullptr;
  sqlite3_stmt* regress_ = nullptr;
  sqlite3_stmt* queueNotice_ = nullptr;
  // The page's marks, retention and the notifier write through this one.
  std::mutex upkeepMutex_;
  sqlite3* upkeep_ = nullptr;
};

}  // namespace reports
