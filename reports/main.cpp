// quil-reports: receives the crash reports of Quil.exe and shows them to
// the maker. See README.md, "Your own report server".
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "reports/bounded_server.h"
#include "reports/bounds.h"
#include "reports/intake.h"
#include "reports/notify.h"
#include "reports/options.h"
#include "reports/page.h"
#include "reports/retention.h"
#include "reports/store.h"
#include "reports/symbols.h"

namespace {

// Every connection the limits allow needs a descriptor; the soft limit is
// often 1024.
void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

// One line of what each listener refused since start, when it has changed.
void LogRefusals(const reports::Refusals& intake, const reports::Refusals& page,
                 std::string* last) {
  const std::string text = "intake: " + intake.Text() + "; page: " + page.Text();
  if (text == *last) return;
  const bool first = last->empty();
  *last = text;
  if (first) return;
  std::printf("quil-reports: refused since start: %s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace reports;
  Options options;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    std::fprintf(stderr, "quil-reports: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  // Signals are taken by one thread, below; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();
  // The store's writer allocates and frees SQLite's page buffers for every
  // batch; with glibc's default threshold each free hands the memory back
  // (a madvise and a TLB flush on every core) and the next batch faults it
  // in again. Kept instead, freed memory stays at most what the busiest
  // moment used: every request and batch is bounded.
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);

  std::map<unsigned, SymbolMap> maps;
  if (!options.symbols.empty() && !ReadSymbolFolder(options.symbols, &maps, &error)) {
    std::fprintf(stderr, "quil-reports: --symbols %s\n", error.c_str());
    return 1;
  }
  ReportStore store;
  Notifier notifier(store, maps, options.notify);
  if (options.notify.On()) store.SetNotices([&notifier] { notifier.Wake(); });
  if (!store.Open(options.db, &error)) {
    std::fprintf(stderr, "quil-reports: --db %s\n", error.c_str());
    return 1;
  }

  if (options.maxStoreMb > 0)
    store.LimitSize(static_cast<int64_t>(options.maxStoreMb * 1024 * 1024));
  Refusals intakeRefusals, pageRefusals;
  RateLimiter rate(options.addressRate);
  DiskFloor floor(options.db, options.minFreeMb * 1024 * 1024);
  BoundedServer intake(IntakeLimits(), &intakeRefusals);
  AddIntakeRoutes(intake, store, IntakeBounds{&rate, &floor, &intakeRefusals});
  // Five failed tokens a minute from one address.
  RateLimiter logins(5);
  BoundedServer page(PageLimits(), &pageRefusals);
  PageContext pageContext;
  pageContext.store = &store;
  pageContext.maps = &maps;
  pageContext.token = options.pageToken;
  pageContext.host = options.page.host;
  pageContext.overTls = options.pageOverTls;
  pageContext.intake = &intakeRefusals;
  pageContext.floor = &floor;
  pageContext.logins = &logins;
  pageContext.forms = std::make_shared<FormGuard>(options.pageOverTls);
  pageContext.keepDays = options.keepDays;
  pageContext.notices = options.notify.mail +
                        (options.notify.mail.empty() || options.notify.url.empty() ? "" : " and ") +
                        options.notify.url;
  AddPageRoutes(page, pageContext);
  if (!intake.Bind(options.listen.host, options.listen.port)) {
    std::fprintf(stderr, "quil-reports: --listen %s:%d cannot be bound\n",
                 options.listen.host.c_str(), options.listen.port);
    return 1;
  }
  if (!page.Bind(options.page.host, options.page.port)) {
    std::fprintf(stderr, "quil-reports: --page %s:%d cannot be bound\n", options.page.host.c_str(),
                 options.page.port);
    return 1;
  }
  Retention retention(store, options.keepDays);
  retention.Start();
  if (options.notify.On()) notifier.Start();
  std::thread intakeThread([&] { intake.Serve(); });
  std::thread pageThread([&] { page.Serve(); });
  std::printf("quil-reports: intake on %s:%d, page on %s:%d%s; %lld reports stored; "
              "symbol maps for %zu builds\n",
              options.listen.host.c_str(), options.listen.port, options.page.host.c_str(),
              options.page.port, options.pageToken.empty() ? "" : " (token)",
              static_cast<long long>(store.CountReports(true) + store.CountReports(false)),
              maps.size());
  if (floor.Below())
    std::printf("quil-reports: the store's disk has %llu MB free, below --min-free-mb %llu: "
                "reports are answered 503 until there is more\n",
                static_cast<unsigned long long>(floor.FreeBytes() / (1024 * 1024)),
                static_cast<unsigned long long>(options.minFreeMb));
  std::fflush(stdout);

  // The refusals go to the log once a minute when they have changed, and
  // at the end.
  std::string logged;
  LogRefusals(intakeRefusals, pageRefusals, &logged);
  int received = -1;
  while (received < 0) {
    const timespec minute{60, 0};
    received = sigtimedwait(&signals, nullptr, &minute);
    if (received < 0) LogRefusals(intakeRefusals, pageRefusals, &logged);
  }
  std::printf("quil-reports: stopping (signal %d)\n", received);
  intake.Stop();
  page.Stop();
  intakeThread.join();
  pageThread.join();
  intake.Finish();
  page.Finish();
  notifier.Stop();
  retention.Stop();
  uint64_t commits = 0, rows = 0;
  store.CommitStats(&commits, &rows);
  store.Close();
  logged = "-";
  LogRefusals(intakeRefusals, pageRefusals, &logged);
  std::printf("quil-reports: stopped; %llu reports in %llu commits since start\n",
              static_cast<unsigned long long>(rows), static_cast<unsigned long long>(commits));
  return 0;
}
