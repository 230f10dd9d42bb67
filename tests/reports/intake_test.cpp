// The intake and the page as a stranger meets them, each served on
// loopback by this process: what hostile requests get, whether a few
// addresses can keep a report out, and a store with no room.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "reports/intake.h"
#include "reports/page.h"

namespace reports {
namespace {

using Clock = std::chrono::steady_clock;

// A store in a folder of its own with the intake and a tokenless page on
// free loopback ports, as main() puts them together.
struct Service {
  explicit Service(const std::string& token = "", bool overTls = false)
      : rate(kAddressRate), floor(path, 0), intake(IntakeLimits(), &intakeRefusals),
        page(PageLimits(), &pageRefusals) {
    std::remove(path.c_str());
    std::string error;
    EXPECT_TRUE(store.Open(path, &error)) << error;
    AddIntakeRoutes(intake, store, IntakeBounds{&rate, &floor, &intakeRefusals});
    AddPageRoutes(page, PageContext{&store, &maps, token, "127.0.0.1", overTls, &intakeRefusals,
                                    &floor, &logins});
    EXPECT_TRUE(intake.Bind("127.0.0.1", 0));
    EXPECT_TRUE(page.Bind("127.0.0.1", 0));
    threads[0] = std::thread([this] { intake.Serve(); });
    threads[1] = std::thread([this] { page.Serve(); });
  }
  ~Service() {
    intake.Stop();
    page.Stop();
    for (std::thread& t : threads) t.join();
    intake.Finish();
    page.Finish();
    store.Close();
    for (const char* tail : {"", "-wal", "-shm"}) std::remove((path + tail).c_str());
  }
  // ctest runs each test in a process of its own, two at a time.
  const std::string path =
      testing::TempDir() + "/intake_test-" + std::to_string(::getpid()) + ".db";
  ReportStore store;
  std::map<unsigned, SymbolMap> maps;
  Refusals intakeRefusals, pageRefusals;
  RateLimiter rate;
  RateLimiter logins{5};
  DiskFloor floor;
  BoundedServer intake, page;
  std::thread threads[2];
};

// A connection from `from` (a loopback address) to 127.0.0.1:port.
int Connect(const char* from, int port) {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, from, &address.sin_addr);
  EXPECT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << from;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  EXPECT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return sock;
}

struct Reply {
  int status = 0;    // 0: none
  bool closed = false;  // the service ended the connection after it
  std::string text;
};

// Sends `request` from `from` and reads until the service closes the
// connection, or for `seconds` at most.
Reply Exchange(const char* from, int port, const std::string& request, double seconds = 10) {
  const int sock = Connect(from, port);
  Reply reply;
  if (::send(sock, request.data(), request.size(), MSG_NOSIGNAL) < 0) return reply;
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  char buffer[4096];
  for (pollfd fd{sock, POLLIN, 0}; Clock::now() < until;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (::poll(&fd, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
    const ssize_t got = ::recv(sock, buffer, sizeof buffer, 0);
    if (got <= 0) {
      reply.closed = true;
      break;
    }
    reply.text.append(buffer, static_cast<size_t>(got));
  }
  ::close(sock);
  if (reply.text.compare(0, 9, "HTTP/1.1 ") == 0) reply.status = std::atoi(reply.text.c_str() + 9);
  return reply;
}

std::string ReportRequest(uint32_t address) {
  const std::string body = ComposeReportBody({"EXCEPTION_ACCESS_VIOLATION", address, 37});
  return "POST /sreport.asp HTTP/1.1\r\nHost: reports\r\nContent-Type: "
         "application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(Intake, HostileRequestsAreRefusedBeforeTheirBodies) {
  Service s;
  const std::string report = ReportRequest(0x0040245A);
  const std::string body = report.substr(report.find("\r\n\r\n") + 4);
  const std::string post = "POST /sreport.asp HTTP/1.1\r\nHost: reports\r\n";
  // 18 bytes that inflate to 1 MiB of zeros, were anyone to inflate them.
  const std::string gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xed\xc1\x01\x0d\x00\x00\x00\xc2", 18);
  const std::string login = "POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const struct {
    const char* what;
    bool page;
    std::string request;
    int status;
  } cases[] = {
      {"a report", false, report, 200},
      {"Content-Length: +90", false, post + "Content-Length: +" + std::to_string(body.size()) + "\r\n\r\n" + body, 400},
      {"Content-Length with a space after the digits", false, post + "Content-Length: 1 1\r\n\r\n" + body, 400},
      {"two Content-Lengths", false, post + "Content-Length: 5\r\nContent-Length: 5\r\n\r\nlog=x", 400},
      {"Transfer-Encoding: chunked", false, post + "Transfer-Encoding: chunked\r\n\r\n5\r\nlog=x\r\n0\r\n\r\n", 400},
      {"Transfer-Encoding ending in a bare LF", false, post + "Transfer-Encoding: chunked\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, 400},
      {"a space before Transfer-Encoding's colon", false, post + "Transfer-Encoding : chunked\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, 400},
      {"Transfer-Encoding: identity", false, post + "transfer-encoding: identity\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, 400},
      {"a gzip body", false, post + "Content-Encoding: gzip\r\nContent-Length: 18\r\n\r\n" + gzip, 415},
      {"a body over 4 KiB", false, post + "Content-Length: 5000\r\n\r\n", 413},
      {"not HTTP", false, "X\r\nX\r\nX\r\n", 400},
      {"a page's address", false, "GET / HTTP/1.1\r\nHost: reports\r\n\r\n", 404},
      {"the page by its address", true, "GET /groups.json HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 200},
      {"the page as localhost with a port", true, "GET /groups.json HTTP/1.1\r\nHost: LOCALHOST:8080\r\nConnection: close\r\n\r\n", 200},
      {"the page as [::1] with a port", true, "GET /groups.json HTTP/1.1\r\nHost: [::1]:8080\r\nConnection: close\r\n\r\n", 200},
      {"the page under a rebound name", true, "GET /reports.json HTTP/1.1\r\nHost: attacker.example\r\n\r\n", 421},
      {"a name that begins as loopback", true, "GET /reports.json HTTP/1.1\r\nHost: 127.0.0.1.attacker.example\r\n\r\n", 421},
      {"the page without a Host", true, "GET /reports.json HTTP/1.0\r\n\r\n", 421},
      {"a gzip login", true, login + "Content-Encoding: gzip\r\nContent-Length: 18\r\n\r\n" + gzip, 415},
      {"a brotli login", true, login + "Content-Encoding: br\r\nContent-Length: 3\r\n\r\n\x8f\xff\x7f", 415},
      {"a chunked login", true, login + "Transfer-Encoding: chunked\r\n\r\n3\r\nx=1\r\n0\r\n\r\n", 400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int64_t before = s.store.CountReports(true) + s.store.CountReports(false);
    const Reply reply = Exchange("127.0.0.2", c.page ? s.page.Port() : s.intake.Port(),
                                 c.request + (c.page ? "" : c.request));
    EXPECT_EQ(reply.status, c.status) << reply.text;
    // One reply and the end, whatever was sent after it: the request twice.
    if (!c.page) {
      EXPECT_TRUE(reply.closed);
      EXPECT_EQ(reply.text.find("HTTP/1.1", 1), std::string::npos) << reply.text;
    }
    EXPECT_EQ(s.store.CountReports(true) + s.store.CountReports(false),
              before + (c.status == 200 && !c.page ? 1 : 0));
  }
}

// Many connections held from 127.0.0.2 onwards; a report from 127.0.0.1
// must be answered "OK" within 2 s meanwhile, every time.
TEST(Intake, AFewAddressesCannotKeepAReportOut) {
  rlimit files;
  getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  setrlimit(RLIMIT_NOFILE, &files);
  ASSERT_GE(files.rlim_cur, 2048u) << "one process holds both ends of 512 connections";
  const struct {
    const char* how;
    int addresses;
    std::string sends;  // once connected
    bool trickles;      // and then a byte a second
  } holds[] = {
      {"idle", 4, "", false},
      {"keep-alive, a request and then nothing", 4, "GET / HTTP/1.1\r\nHost: r\r\n\r\n", false},
      {"trickling a byte a second", 4, "P", true},
      {"at the connection cap", 8, "", false},
  };
  for (const auto& hold : holds) {
    SCOPED_TRACE(hold.how);
    Service s;
    std::vector<int> held;
    for (int a = 0; a < hold.addresses; ++a) {
      const std::string from = "127.0.0." + std::to_string(2 + a);
      for (int i = 0; i < 64; ++i) {
        held.push_back(Connect(from.c_str(), s.intake.Port()));
        ::send(held.back(), hold.sends.data(), hold.sends.size(), MSG_NOSIGNAL);
      }
    }
    std::atomic<bool> done{false};
    std::thread trickle([&] {
      const std::string request = ReportRequest(1);
      for (size_t at = 1; hold.trickles && !done && at < request.size(); ++at) {
        for (int sock : held) ::send(sock, &request[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        for (int tenth = 0; tenth < 10 && !done; ++tenth)
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });
    // The service has taken them all in (the kernel's accept queue holds
    // them until it does), and the trickle has begun.
    const auto until = Clock::now() + std::chrono::seconds(30);
    while (s.intake.Admitted() < held.size() && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(s.intake.Admitted(), held.size());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    for (uint32_t n = 0; n < 3; ++n) {
      const auto start = Clock::now();
      const Reply reply = Exchange("127.0.0.1", s.intake.Port(), ReportRequest(0x00401000 + n), 5);
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      EXPECT_EQ(reply.status, 200) << reply.text;
      EXPECT_LT(seconds, 2.0);
    }
    done = true;
    trickle.join();
    if (hold.addresses == 8) {
      // The cap was reached: the first report took an unfinished connection's place.
      EXPECT_GE(s.intake.Counts().reclaimed, 1u);
    }
    for (int sock : held) ::close(sock);
    EXPECT_EQ(s.store.CountReports(true), 3);
  }
}

TEST(Intake, AStoreWithNoRoomStoresNothingAndSaysSo) {
  Service s;
  auto post = [&](uint32_t n) { return Exchange("127.0.0.1", s.intake.Port(), ReportRequest(n)); };
  ASSERT_EQ(post(1).status, 200);
  // No page more for the store: the commits fill what pages it has.
  s.store.LimitSize(1);
  int64_t stored = s.store.CountReports(true);
  int status = 200;
  for (uint32_t n = 2; status == 200 && n < 5000; ++n) {
    status = post(n).status;
    stored += status == 200 ? 1 : 0;
  }
  EXPECT_EQ(status, 503);
  EXPECT_EQ(post(9000).status, 503);
  EXPECT_EQ(s.store.CountReports(true), stored);
  EXPECT_EQ(s.intake.Counts().storeFailed, 2u);
  s.store.LimitSize(0);
  EXPECT_EQ(post(9001).status, 200);
  EXPECT_EQ(s.store.CountReports(true), stored + 1);

  // Below the free-space floor, SQLite is not asked at all, and the page
  // says reports are being refused.
  s.floor.SetFloor(UINT64_MAX);
  EXPECT_EQ(post(9002).status, 503);
  EXPECT_EQ(s.store.CountReports(true), stored + 1);
  EXPECT_EQ(s.intake.Counts().diskFloor, 1u);
  const Reply page = Exchange("127.0.0.1", s.page.Port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  EXPECT_NE(page.text.find("id=\"refusing\""), std::string::npos);
  s.floor.SetFloor(0);
  EXPECT_EQ(post(9003).status, 200);
}

TEST(Intake, StrangersAreHeldToTheirRates) {
  const std::string token = "0123456789abcdef-token";
  Service s(token, true);
  // Reports: 60 a minute from one address, then 429 and nothing stored;
  // another address is not held to the first one's count. The budget
  // refills by one a second, so the posts' own time allows that many more.
  const auto start = Clock::now();
  int ok = 0, refused = 0;
  for (uint32_t n = 0; n < 2 * kAddressRate && refused == 0; ++n) {
    const int status = Exchange("127.0.0.3", s.intake.Port(), ReportRequest(n)).status;
    ok += status == 200 ? 1 : 0;
    refused += status == 429 ? 1 : 0;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(refused, 1);
  EXPECT_GE(ok, kAddressRate);
  EXPECT_LE(ok, kAddressRate + seconds + 1);
  EXPECT_EQ(s.store.CountReports(true), ok);
  EXPECT_EQ(Exchange("127.0.0.4", s.intake.Port(), ReportRequest(101)).status, 200);
  EXPECT_EQ(s.intake.Counts().rate, 1u);

  // Logins: five wrong tokens, then 429 for any token from that address,
  // the right one included; the cookie the right one gets is not the token,
  // and is sent over TLS only (the page is said to be reached so).
  auto login = [&](const char* from, const std::string& guess) {
    const std::string form = "token=" + guess;
    return Exchange(from, s.page.Port(),
                    "POST /login HTTP/1.1\r\nHost: reports.example\r\nConnection: close\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                        std::to_string(form.size()) + "\r\n\r\n" + form);
  };
  for (int i = 0; i < 5; ++i) EXPECT_EQ(login("127.0.0.5", "guess-0123456789abc").status, 403);
  EXPECT_EQ(login("127.0.0.5", token).status, 429);
  const Reply right = login("127.0.0.6", token);
  EXPECT_EQ(right.status, 303);
  EXPECT_NE(right.text.find("Set-Cookie: quil_page_token="), std::string::npos);
  EXPECT_EQ(right.text.find(token), std::string::npos) << right.text;
  EXPECT_NE(right.text.find("; Secure\r\n"), std::string::npos) << right.text;
}

TEST(Intake, AnIPv6HostCountsAsOneAddress) {
  const struct {
    const char* address;
    const char* key;
  } cases[] = {
      {"192.0.2.7", "192.0.2.7"},
      {"::ffff:192.0.2.7", "192.0.2.7"},  // IPv4 on a listener of [::]
      {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
      {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
      {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
  };
  for (const auto& c : cases) EXPECT_EQ(AddressKey(c.address), c.key) << c.address;
}

}  // namespace
}  // namespace reports
