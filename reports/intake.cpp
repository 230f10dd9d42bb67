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

// Before the library reads a body: what the headers already say is refused
// here, so that nothing beyond them is read or decoded.
httplib::Server::HandlerResponse CheckHeaders(const httplib::Request& req,
                                              httplib::Response& res) {
  using Handled = httplib::Server::HandlerResponse;
  // The library adds four of its own (REMOTE_ADDR, REMOTE_PORT, LOCAL_...).
  if (req.headers.size() > kMaxHeaders + 4) {
    Refuse(res, 431, "too many headers");
  } else if (req.has_header("Transfer-Encoding")) {
    Refuse(res, 411, "a report has a Content-Length");
  } else if (req.has_header("Content-Encoding") &&
             req.get_header_value("Content-Encoding") != "identity") {
    // A compressed body would be expanded in memory, without a bound.
    Refuse(res, 415, "a report is not compressed");
  } else if (req.method == "POST" && !req.has_header("Content-Length")) {
    Refuse(res, 411, "a report has a Content-Length");
  } else if (req.get_header_value_count("Content-Length") > 1) {
    Refuse(res, 400, "one Content-Length");
  } else if (req.get_header_value<uint64_t>("Content-Length") > kMaxBody) {
    Refuse(res, 413, "a report is at most 4096 bytes");
  } else {
    return Handled::Unhandled;
  }
  BoundedServer::CloseAfterReply();  // the body, if any, is still unread
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
  limits.maxConnections = 512;
  limits.maxPerAddress = 64;
  limits.maxRequestBytes = 16 * 1024;  // request line and headers, and the 4 KiB body
  return limits;
}

void AddIntakeRoutes(BoundedServer& server, ReportStore& store) {
  server.set_pre_routing_handler(CheckHeaders);
  server.Post(kReportPath, [&store](const httplib::Request& req, httplib::Response& res) {
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
    if (!store.Add(&report)) return Refuse(res, 503, "not stored; send it again later");
    res.set_content("OK", "text/plain");
  });
  server.Get(kReportPath, [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Allow", "POST");
    Refuse(res, 405, "reports are posted");
  });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) res.set_content("not a report\n", "text/plain");
  });
}

}  // namespace reports
