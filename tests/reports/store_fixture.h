// A store in a folder of its own, with a clock the test sets.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "reports/store.h"

namespace reports {

const int64_t kDay = 86400000;
const int64_t kHour = 3600000;

struct TestStore {
  explicit TestStore(bool notices = false) {
    char folder[] = "/tmp/quil-store-XXXXXX";
    EXPECT_NE(mkdtemp(folder), nullptr);
    dir = folder;
    store.SetClock([this] { return now; });
    if (notices) store.SetNotices([] {});
    std::string error;
    EXPECT_TRUE(store.Open(dir + "/r.db", &error)) << error;
  }
  ~TestStore() {
    store.Close();
    EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
  }
  // A report of EXCEPTION_ACCESS_VIOLATION at 0040160A (or `exception`),
  // received `agoMs` before the clock; empty `exception`: unparsed.
  void Add(unsigned build, int64_t agoMs, const std::string& exception = "EXCEPTION_ACCESS_VIOLATION") {
    StoredReport r;
    r.receivedMs = now - agoMs;
    r.client = "192.0.2.1";
    r.body = "log=...";
    r.parsed = !exception.empty();
    r.fields = ReportFields{exception, 0x0040160A, build};
    ASSERT_TRUE(store.Add(&r));
  }

  std::string dir;
  int64_t now = 1000 * kDay + 12 * kHour;
  ReportStore store;
};

}  // namespace reports
