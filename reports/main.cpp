// quil-reports: receives the crash reports of Quil.exe and shows them to
// the maker. See README.md, "Your own report server".
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "reports/bounded_server.h"
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

  BoundedServer intake(IntakeLimits());
  AddIntakeRoutes(intake, store);
  BoundedServer page(PageLimits());
  PageContext pageContext;
  pageContext.store = &store;
  pageContext.maps = &maps;
  pageContext.token = options.pageToken;
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
  std::fflush(stdout);

  int received = 0;
  sigwait(&signals, &received);
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
  std::printf("quil-reports: stopped; %llu reports in %llu commits since start; %llu connections "
              "refused at the limits\n",
              static_cast<unsigned long long>(rows), static_cast<unsigned long long>(commits),
              static_cast<unsigned long long>(intake.RefusedConnections()));
  return 0;
}
