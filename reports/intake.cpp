#include "reports/intake.h"

#include <chrono>

#include "reports/report_body.h"

namespace reports {
namespace {

const char kReportPath[] = "/sreport.asp";

void Refuse(httplib::Response& res, int status, const char* why) {
  res.status = status;
  res.set_content(std::string(why) + "\n", "text/plain");
}

// Before the library reads a body (the server has checked its framing):
// what the headers already say is refused here, and a sender past its rate
// is turned away before anything is read or stored.
httplib::Server::HandlerResponse CheckHeaders(const httplib::Request& req,
                                              httplib::Response& res, RateLimiter* rate) {
  using Handled = httplib::Server::HandlerResponse;
  if (req.method == "POST" && !req.has_header("Content-Length")) {
    Refuse(res, 411, "a report has a Content-Length");
  } else if (req.get_header_value<uint64_t>("Content-Length") > kMaxBody) {
    Refuse(res, 413, "a report is at most 4096 bytes");
  } else if (req.method == "POST" && req.path == kReportPath && !rate->Take(AddressKey(req.remote_addr))) {
    // An installer whose report is refused sends it again ten minutes later.
    res.set_header("Retry-After", "600");
    Refuse(res, 429, "too many reports from this address; send it again later");
  } else {
    return Handled::Unhandled;
  }
  return Handled::Handled;
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Limits IntakeLimits() {
  Limits limits;
  limits.workers = 128;
  // Far below the workers: sixteen addresses together, at most, can keep
  // every thread waiting on them before threads are taken back.
  limits.workersPerAddress = 8;
  limits.maxConnections = 512;
  limits.maxPerAddress = 128;
  limits.maxRequestBytes = 16 * 1024;  // request line and headers, and the 4 KiB body
  // Quil.exe sends its request in one write as soon as it has connected.
  limits.requestDeadline = std::chrono::milliseconds(5000);
  limits.readTimeout = std::chrono::milliseconds(5000);
  // One report per connection, as Quil.exe sends them: the intake owes
  // nobody an idle connection.
  limits.keepAliveRequests = 1;
  return limits;
}

void AddIntakeRoutes(BoundedServer& server, ReportStore& store, const IntakeBounds& bounds) {
  server.SetErrorBody("not a report\n");
  RateLimiter* rate = bounds.rate;
  server.SetRequestCheck([rate](const httplib::Request& req, httplib::Response& res) {
    return CheckHeaders(req, res, rate);
  });
  server.Post(kReportPath, [&store, bounds](const httplib::Request& req, httplib::Response& res) {
    StoredReport report;
    switch (ReadReportBody(req.body, &report.fields)) {
      case BodyKind::kNoLogField:
        return Refuse(res, 400, "not a report: no log= field");
      case BodyKind::kUnparsed:
        // Kept as it came: refused, a real installer would send it again
        // every ten minutes for ever.
        report.parsed = false;
        report.fields = ReportFields();
        break;
      case BodyKind::kParsed:
        report.parsed = true;
        break;
    }
    report.receivedMs = NowMs();
    report.client = req.remote_addr;
    report.body = req.body;
    if (bounds.floor->Below()) {
      ++bounds.refusals->diskFloor;
      return Refuse(res, 503, "not stored: the disk is nearly full; send it again later");
    }
    if (!store.Add(&report)) {
      ++bounds.refusals->storeFailed;
      return Refuse(res, 503, "not stored; send it again later");
    }
    res.set_content("OK", "text/plain");
  });
  server.Get(kReportPath, [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Allow", "POST");
    Refuse(res, 405, "reports are posted");
  });
}

}  // namespace reports
