// Retention: raw reports older than the days kept are deleted, a small
// batch at a time on a thread of its own, so that the writer waits for one
// short transaction at most. The groups, their builds and their daily
// counts stay: the page's chart, totals and states do not change.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "reports/store.h"

namespace reports {

// Deletes every report received `keepDays` days or more before the store's
// clock, `batch` at a time, calling `pause` between batches (false: stop
// there); how many.
int64_t DeleteExpiredReports(ReportStore& store, int keepDays, size_t batch,
                             const std::function<bool()>& pause);

class Retention {
 public:
  Retention(ReportStore& store, int keepDays) : store_(store), keepDays_(keepDays) {}
  ~Retention() { Stop(); }
  // Runs at once, then every ten minutes.
  void Start();
  void Stop();

 private:
  // Waits, and says whether Stop() was called.
  bool Pause(std::chrono::milliseconds wait);

  ReportStore& store_;
  int keepDays_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
};

}  // namespace reports
