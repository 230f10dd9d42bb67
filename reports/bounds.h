// What strangers may make the service keep: reports a minute from one
// address, and the free space the store's disk keeps in reserve.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace reports {

// Per-address budgets refilled at a steady rate: `perMinute` a minute, at
// most `perMinute` saved up. Keys are AddressKey()s. The table of
// addresses is bounded: full buckets are dropped from it, and past
// `maxAddresses` busy ones a new address is let through untracked (a
// sender with that many addresses is met by the disk floor instead).
class RateLimiter {
 public:
  explicit RateLimiter(double perMinute, size_t maxAddresses = 100000);
  // Takes one from `key`'s budget; false, taking nothing, when it is spent.
  bool Take(const std::string& key);
  // Whether `key`'s budget is spent, without taking from it.
  bool Spent(const std::string& key);

 private:
  using Clock = std::chrono::steady_clock;
  struct Bucket {
    double left;
    Clock::time_point at;
  };
  // `key`'s bucket brought up to now, or nullptr when the table is full.
  Bucket* Find(const std::string& key, Clock::time_point now);

  const double perMinute_;
  const size_t maxAddresses_;
  std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
  Clock::time_point lastPurge_{};
};

// The free space on the store's filesystem against a floor below which
// reports are refused (503) before SQLite is asked: a flood then fills the
// disk to the floor, not to the last byte that the system and the page need.
class DiskFloor {
 public:
  DiskFloor(std::string path, uint64_t floorBytes) : path_(std::move(path)), floor_(floorBytes) {}
  // Whether the free space is below the floor now; read from the system at
  // most every 250 ms.
  bool Below();
  uint64_t FreeBytes() const { return free_; }
  uint64_t FloorBytes() const { return floor_; }
  void SetFloor(uint64_t bytes) { floor_ = bytes; }

 private:
  const std::string path_;
  std::atomic<uint64_t> floor_;
  std::atomic<uint64_t> free_{UINT64_MAX};
  std::atomic<int64_t> readAt_{-1000000};  // ms of steady_clock
};

}  // namespace reports
