#include "reports/bounds.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace reports {

RateLimiter::RateLimiter(double perMinute, size_t maxAddresses)
    : perMinute_(perMinute), maxAddresses_(maxAddresses) {}

RateLimiter::Bucket* RateLimiter::Find(const std::string& key, Clock::time_point now) {
  auto found = buckets_.find(key);
  if (found == buckets_.end()) {
    if (buckets_.size() >= maxAddresses_ && now - lastPurge_ >= std::chrono::seconds(1)) {
      // A bucket refilled to the brim says no more than a missing one.
      lastPurge_ = now;
      for (auto b = buckets_.begin(); b != buckets_.end();) {
        const double minutes = std::chrono::duration<double>(now - b->second.at).count() / 60;
        b = b->second.left + minutes * perMinute_ >= perMinute_ ? buckets_.erase(b) : std::next(b);
      }
    }
    if (buckets_.size() >= maxAddresses_) return nullptr;
    found = buckets_.emplace(key, Bucket{perMinute_, now}).first;
  }
  Bucket& b = found->second;
  const double minutes = std::chrono::duration<double>(now - b.at).count() / 60;
  b.left = std::min(perMinute_, b.left + minutes * perMinute_);
  b.at = now;
  return &b;
}

bool RateLimiter::Take(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Bucket* b = Find(key, Clock::now());
  if (!b) return true;
  if (b->left < 1) return false;
  b->left -= 1;
  return true;
}

bool RateLimiter::Spent(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  Bucket* b = Find(key, Clock::now());
  return b && b->left < 1;
}

bool DiskFloor::Below() {
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t readAt = readAt_;
  if (now - readAt >= 250 && readAt_.compare_exchange_strong(readAt, now)) {
    struct statvfs fs;
    if (::statvfs(path_.c_str(), &fs) == 0)
      free_ = static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
  }
  return free_ < floor_;
}

}  // namespace reports
