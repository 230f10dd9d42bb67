#include "reports/retention.h"

#include <chrono>

namespace reports {
namespace {

const int64_t kDayMs = 86400000;
// Enough to keep up with any intake; little enough that a batch's
// transaction holds the writer back for a few milliseconds.
const size_t kBatch = 500;

}  // namespace

int64_t DeleteExpiredReports(ReportStore& store, int keepDays, size_t batch,
                             const std::function<bool()>& pause) {
  const int64_t before = store.Now() - int64_t{keepDays} * kDayMs;
  int64_t total = 0;
  for (;;) {
    const int64_t deleted = store.DeleteReportsBefore(before, batch);
    total += deleted;
    if (deleted < static_cast<int64_t>(batch) || !pause()) return total;
  }
}

void Retention::Start() {
  thread_ = std::thread([this] {
    // A pause between batches lets the writer's commits through.
    do {
      DeleteExpiredReports(store_, keepDays_, kBatch,
                           [this] { return !Pause(std::chrono::milliseconds(20)); });
    } while (!Pause(std::chrono::minutes(10)));
  });
}

bool Retention::Pause(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return stop_.wait_for(lock, wait, [&] { return stopping_; });
}

void Retention::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_one();
  if (thread_.joinable()) thread_.join();
}

}  // namespace reports
