// A load generator for quil-reports: CLIENTS threads, each on a keep-alive
// connection, post real report bodies (Quil.exe's form, each with an
// address of its own) to /sreport.asp for SECONDS, and count the replies.
//
//   quil-reports-loadgen HOST:PORT CLIENTS SECONDS BUILD OK_FILE
//
// Prints the requests sent, the "OK" replies, the failures, reports per
// second and the latency of the OK replies (p50, p99, max); writes the
// address of every report answered "OK" to OK_FILE, one a line, so that a
// check can find each of them in the store. A failed request (the service
// killed, say) is counted and tried again with the next report, as a
// client would.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "reports/report_body.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ClientResult {
  std::vector<uint32_t> okAddresses;
  std::vector<double> okLatencyMs;
  uint64_t sent = 0, failed = 0;
  std::map<std::string, uint64_t> failures;  // by what went wrong
};

void RunClient(const std::string& host, int port, unsigned client, unsigned build,
               Clock::time_point until, ClientResult* result) {
  httplib::Client connection(host, port);
  connection.set_keep_alive(true);
  connection.set_tcp_nodelay(true);
  connection.set_connection_timeout(2);
  connection.set_read_timeout(10);
  for (uint32_t n = 0; Clock::now() < until && n < (1u << 20); ++n) {
    // Client in the top bits, a sequence number below: each report differs.
    const uint32_t address = (client << 20) | n;
    const std::string body =
        reports::ComposeReportBody({"EXCEPTION_ACCESS_VIOLATION", address, build});
    const auto start = Clock::now();
    auto reply = connection.Post("/sreport.asp", body, "application/x-www-form-urlencoded");
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    ++result->sent;
    if (reply && reply->status == 200 && reply->body == "OK") {
      result->okAddresses.push_back(address);
      result->okLatencyMs.push_back(ms);
    } else {
      ++result->failures[reply ? "status " + std::to_string(reply->status)
                                : httplib::to_string(reply.error())];
      ++result->failed;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t at = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: quil-reports-loadgen HOST:PORT CLIENTS SECONDS BUILD OK_FILE\n");
    return 2;
  }
  const std::string target = argv[1];
  const std::string host = target.substr(0, target.rfind(':'));
  const int port = std::stoi(target.substr(target.rfind(':') + 1));
  const unsigned clients = static_cast<unsigned>(std::stoul(argv[2]));
  const double seconds = std::stod(argv[3]);
  const unsigned build = static_cast<unsigned>(std::stoul(argv[4]));
  if (clients == 0 || clients > 4096 || build > 999) return 2;

  std::vector<ClientResult> results(clients);
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  const auto until = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(seconds));
  for (unsigned c = 0; c < clients; ++c)
    threads.emplace_back(RunClient, host, port, c, build, until, &results[c]);
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  uint64_t sent = 0, failed = 0;
  std::map<std::string, uint64_t> failures;
  std::vector<double> latency;
  std::ofstream ok(argv[5]);
  for (const ClientResult& r : results) {
    sent += r.sent;
    failed += r.failed;
    for (const auto& [what, count] : r.failures) failures[what] += count;
    latency.insert(latency.end(), r.okLatencyMs.begin(), r.okLatencyMs.end());
    for (uint32_t address : r.okAddresses) ok << address << "\n";
  }
  std::sort(latency.begin(), latency.end());
  std::string why;
  for (const auto& [what, count] : failures)
    why += (why.empty() ? " (" : ", ") + what + " " + std::to_string(count);
  std::printf("clients %u, %.1f s: %llu requests, %zu answered OK, %llu failed%s\n", clients,
              elapsed, static_cast<unsigned long long>(sent), latency.size(),
              static_cast<unsigned long long>(failed), why.empty() ? "" : (why + ")").c_str());
  std::printf("durable reports/s %.0f; latency of OK replies: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
              static_cast<double>(latency.size()) / elapsed, Percentile(latency, 0.50),
              Percentile(latency, 0.99), latency.empty() ? 0.0 : latency.back());
  return 0;
}
