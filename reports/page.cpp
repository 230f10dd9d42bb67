#include "reports/page.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "reports/intake.h"
#include "reports/text.h"

namespace reports {
namespace {

const char kCookie[] = "quil_page_token";
const int kChartDays = 30;
const size_t kPageGroups = 500;
const size_t kGroupReports = 50;
const size_t kExportBatch = 1000;

const char kStyle[] = R"(body{font:14px/1.4 sans-serif;margin:1.5em 2em;color:#222;background:#fff}
h1{font-size:1.5em;margin:0 0 .3em}h2{font-size:1.15em;margin:1.4em 0 .4em}
table{border-collapse:collapse;margin:.3em 0}th,td{border:1px solid #ccc;padding:.25em .55em;text-align:left;vertical-align:top}
th{background:#eef1f5}td.count{text-align:right;font-weight:bold}
code{font-family:monospace;word-break:break-all}td.address code{white-space:nowrap}.note{color:#555;max-width:60em}
.rule-candidate{color:#8a4b00}.rule-preferred-base{color:#1a5e20}.rule-not-placed{color:#777}
svg{border:1px solid #ddd;background:#fafbfc}svg .bar{fill:#4a78b5}svg text{font:11px sans-serif;fill:#444}
svg .axis{stroke:#999}dt{font-weight:bold;margin-top:.4em}.refusing{color:#a40000;font-weight:bold}
)";

std::string Page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + Html(title) +
         "</title><link rel=\"stylesheet\" href=\"/style.css\"></head>\n<body>\n" + body +
         "</body></html>\n";
}

std::string RuleClass(NameRule rule) {
  switch (rule) {
    case NameRule::kPreferredBase: return "rule-preferred-base";
    case NameRule::kLow16Candidate: return "rule-candidate";
    case NameRule::kNoMap:
    case NameRule::kOutsideCode: break;
  }
  return "rule-not-placed";
}

std::string FunctionText(const AddressName& name) {
  if (name.function.empty()) return "";
  char offset[16];
  std::snprintf(offset, sizeof offset, "+0x%X", static_cast<unsigned>(name.offset));
  return name.function + offset;
}

std::string GroupLink(const Group& g) {
  return "/group?build=" + std::to_string(g.build) + "&address=" + Hex8(g.address) +
         "&exception=" + UrlEncode(g.exception);
}

// Reports per day over the last 30 days, as bars.
std::string Chart(ReportStore& store) {
  const int64_t today = NowMs() / 86400000;
  const int64_t first = today - kChartDays + 1;
  const std::vector<int64_t> counts = store.DailyCounts(first, kChartDays);
  const int64_t top = std::max<int64_t>(1, *std::max_element(counts.begin(), counts.end()));
  const int left = 44, width = 24 * kChartDays, height = 160, bottom = 190;
  std::string svg = "<svg id=\"chart\" role=\"img\" width=\"" + std::to_string(left + width + 10) +
                    "\" height=\"215\" viewBox=\"0 0 " + std::to_string(left + width + 10) +
                    " 215\" xmlns=\"http://www.w3.org/2000/svg\"><title>Reports per day, " +
                    DayText(first) + " to " + DayText(today) + "</title>";
  svg += "<line class=\"axis\" x1=\"" + std::to_string(left) + "\" y1=\"" + std::to_string(bottom) +
         "\" x2=\"" + std::to_string(left + width) + "\" y2=\"" + std::to_string(bottom) + "\"/>";
  svg += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + std::to_string(bottom - height + 4) +
         "\" text-anchor=\"end\">" + std::to_string(top) + "</text>";
  svg += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + std::to_string(bottom) +
         "\" text-anchor=\"end\">0</text>";
  for (int i = 0; i < kChartDays; ++i) {
    const int64_t n = counts[static_cast<size_t>(i)];
    const int h = static_cast<int>(n * height / top);
    const int x = left + i * 24 + 3;
    svg += "<rect class=\"bar\" data-day=\"" + DayText(first + i) + "\" data-count=\"" +
           std::to_string(n) + "\" x=\"" + std::to_string(x) + "\" y=\"" +
           std::to_string(bottom - h) + "\" width=\"18\" height=\"" + std::to_string(h) +
           "\"><title>" + DayText(first + i) + ": " + std::to_string(n) + "</title></rect>";
    if (i % 5 == 4 || i == kChartDays - 1)
      svg += "<text x=\"" + std::to_string(x + 9) + "\" y=\"" + std::to_string(bottom + 16) +
             "\" text-anchor=\"middle\">" + DayText(first + i).substr(5) + "</text>";
  }
  return svg + "</svg>\n";
}

std::string NamingCells(const PageContext& c, unsigned build, uint32_t address) {
  const AddressName name = NameAddress(*c.maps, build, address);
  const std::string function = FunctionText(name);
  return "<td class=\"function\">" + (function.empty() ? "&#8212;" : "<code>" + Html(function) + "</code>") +
         "</td><td class=\"rule " + RuleClass(name.rule) + "\" title=\"" +
         Html(RuleText(name.rule, build, address, *c.maps)) + "\">" + Html(RuleLabel(name.rule)) +
         "</td>";
}

const char kRules[] =
    "<h2>How addresses are named</h2><dl class=\"note\">"
    "<dt>candidate, exact at the preferred base</dt><dd>The address less Quil.exe's preferred "
    "base (0x00400000) falls in its code: exact if it ran there, as it does under Wine; where "
    "Windows chose another base, the low 16 bits name the same place.</dd>"
    "<dt>candidate, low 16 bits</dt><dd>Windows loads Quil.exe at a random base aligned to 64 KiB, so an "
    "address's low 16 bits are its offset in the image; Quil.exe's code lies within its first "
    "64 KiB, so those bits name one place in it, if the fault was in Quil.exe at all. The address "
    "alone cannot say it was not in a system library.</dd>"
    "<dt>not placed</dt><dd>No symbol map for the report's build, or its low 16 bits fall "
    "outside Quil.exe's code: the address is shown as it came.</dd></dl>\n";

std::string ReportsTable(const std::vector<StoredReport>& reports) {
  std::string html =
      "<table id=\"reports\"><thead><tr><th>Received</th><th>From</th><th>Body as received"
      "</th></tr></thead><tbody>\n";
  for (const StoredReport& r : reports)
    html += "<tr class=\"report\"><td>" + Html(PageTime(r.receivedMs)) + "</td><td>" +
            Html(r.client) + "</td><td><code>" + Html(r.body) + "</code></td></tr>\n";
  return html + "</tbody></table>\n";
}

std::string Megabytes(uint64_t bytes) { return std::to_string(bytes / (1024 * 1024)) + " MB"; }

// Whether reports are being refused now, and what each bound has refused
// since start: a flood shows here before it shows on the disk.
std::string RefusalsSection(const PageContext& c) {
  std::string html = "<h2>Refused since start</h2>\n";
  if (c.floor->Below())
    html += "<p class=\"refusing\" id=\"refusing\">Reports are being refused now (503): " +
            Megabytes(c.floor->FreeBytes()) + " free on the store's disk, below the floor of " +
            Megabytes(c.floor->FloorBytes()) +
            ". Installers send them again every ten minutes; free some space.</p>\n";
  html += "<table id=\"refusals\"><thead><tr><th></th><th>Intake</th><th>Page</th></tr></thead>"
          "<tbody>\n";
  const auto intake = c.intake->List(), page = c.page->List();
  for (size_t i = 0; i < intake.size(); ++i)
    html += "<tr><th>" + Html(intake[i].first) + "</th><td class=\"count\">" +
            std::to_string(intake[i].second) + "</td><td class=\"count\">" +
            std::to_string(page[i].second) + "</td></tr>\n";
  return html + "</tbody></table>\n";
}

void GroupsPage(const PageContext& c, httplib::Response& res) {
  const std::vector<Group> groups = c.store->Groups(kPageGroups);
  const int64_t groupCount = c.store->CountGroups();
  const int64_t parsed = c.store->CountReports(true);
  const int64_t unparsed = c.store->CountReports(false);
  std::string maps;
  for (const auto& [build, map] : *c.maps)
    maps += (maps.empty() ? "" : ", ") + std::string("build ") + BuildText(build);
  std::string body = "<h1>Quil.exe crash reports</h1>\n<p class=\"summary\"><span id=\"deliveries\">" +
                     std::to_string(parsed) + "</span> deliveries in <span id=\"group-count\">" +
                     std::to_string(groupCount) + "</span> groups" +
                     (groupCount > static_cast<int64_t>(groups.size())
                          ? " (the largest " + std::to_string(groups.size()) + " shown)"
                          : "") +
                     "; <a href=\"/unparsed\" id=\"unparsed-count\">" + std::to_string(unparsed) +
                     " unparsed</a>. Symbol maps: " + (maps.empty() ? "none" : Html(maps)) +
                     ". Export: <a href=\"/reports.json\">reports.json</a>, "
                     "<a href=\"/groups.json\">groups.json</a>.</p>\n"
                     "<p class=\"note\">Counts are deliveries, not crashes: a report carries no "
                     "id, so an installer whose &#8220;OK&#8221; was lost on the way sends the same "
                     "report again ten minutes later, and it is counted again.</p>\n" +
                     RefusalsSection(c) + "<h2>Reports per day, last 30 days (UTC)</h2>\n" + Chart(*c.store) +
                     "<h2>Groups</h2>\n<table id=\"groups\"><thead><tr><th>Count</th><th>Build</th>"
                     "<th>Exception</th><th>Address</th><th>Function</th><th>Named by</th>"
                     "<th>First seen</th><th>Last seen</th></tr></thead><tbody>\n";
  for (const Group& g : groups)
    body += "<tr class=\"group\"><td class=\"count\">" + std::to_string(g.count) +
            "</td><td class=\"build\">" + BuildText(g.build) +
            "</td><td class=\"exception\"><a href=\"" + Html(GroupLink(g)) + "\">" +
            Html(g.exception) + "</a></td><td class=\"address\"><code>" + Hex8(g.address) +
            "</code></td>" + NamingCells(c, g.build, g.address) + "<td class=\"first-seen\">" +
            Html(PageTime(g.firstMs)) + "</td><td class=\"last-seen\">" +
            Html(PageTime(g.lastMs)) + "</td></tr>\n";
  if (groups.empty()) body += "<tr><td colspan=\"8\">No reports yet.</td></tr>\n";
  body += "</tbody></table>\n";
  body += kRules;
  res.set_content(Page("Quil.exe crash reports", body), "text/html; charset=utf-8");
}

void GroupPage(const PageContext& c, const httplib::Request& req, httplib::Response& res) {
  const std::string buildText = req.get_param_value("build");
  const std::string addressText = req.get_param_value("address");
  char* end = nullptr;
  const unsigned long build = std::strtoul(buildText.c_str(), &end, 10);
  const bool buildOk = !buildText.empty() && *end == '\0' && build < 1000;
  const unsigned long address = std::strtoul(addressText.c_str(), &end, 16);
  const bool addressOk = addressText.size() == 8 && *end == '\0';
  Group g;
  if (!buildOk || !addressOk ||
      !c.store->FindGroup(static_cast<unsigned>(build), req.get_param_value("exception"),
                          static_cast<uint32_t>(address), &g)) {
    res.status = 404;
    res.set_content(Page("No such group", "<h1>No such group</h1><p><a href=\"/\">All groups</a></p>"),
                    "text/html; charset=utf-8");
    return;
  }
  const AddressName name = NameAddress(*c.maps, g.build, g.address);
  const std::string function = FunctionText(name);
  std::string body = "<p><a href=\"/\">All groups</a></p>\n<h1 id=\"group-title\">" +
                     Html(g.exception) + " at " + Hex8(g.address) + ", build " +
                     BuildText(g.build) + "</h1>\n<table id=\"group\"><tbody>"
                     "<tr><th>Deliveries</th><td class=\"count\">" + std::to_string(g.count) +
                     "</td></tr><tr><th>First seen</th><td>" + Html(PageTime(g.firstMs)) +
                     "</td></tr><tr><th>Last seen</th><td>" + Html(PageTime(g.lastMs)) +
                     "</td></tr><tr><th>Function</th><td class=\"function\">" +
                     (function.empty() ? "&#8212;" : "<code>" + Html(function) + "</code>") +
                     "</td></tr><tr><th>Named by</th><td class=\"rule " + RuleClass(name.rule) +
                     "\">" + Html(RuleText(name.rule, g.build, g.address, *c.maps)) +
                     "</td></tr></tbody></table>\n<h2>Latest reports</h2>\n" +
                     ReportsTable(c.store->LatestOfGroup(g, kGroupReports));
  res.set_content(Page(g.exception + " at " + Hex8(g.address), body), "text/html; charset=utf-8");
}

void UnparsedPage(const PageContext& c, httplib::Response& res) {
  std::string body =
      "<p><a href=\"/\">All groups</a></p>\n<h1>Unparsed deliveries</h1>\n"
      "<p class=\"note\">Posts to /sreport.asp with a log= field whose text is not the four lines "
      "Quil.exe writes: kept as they came, and answered &#8220;OK&#8221; so that an installer "
      "does not send them again for ever. The latest 100:</p>\n" +
      ReportsTable(c.store->LatestUnparsed(100));
  res.set_content(Page("Unparsed deliveries", body), "text/html; charset=utf-8");
}

std::string ReportJson(const StoredReport& r) {
  std::string json = "{\"id\":" + std::to_string(r.id) + ",\"received\":" +
                     Json(IsoTime(r.receivedMs)) + ",\"client\":" + Json(r.client) +
                     ",\"parsed\":" + (r.parsed ? "true" : "false");
  if (r.parsed)
    json += ",\"exception\":" + Json(r.fields.exception) + ",\"address\":\"" +
            Hex8(r.fields.address) + "\",\"build\":" + std::to_string(r.fields.build);
  return json + ",\"body\":" + Json(r.body) + "}";
}

// Streams {"NAME":[...]} a batch at a time, so that an export never sits
// whole in memory: `next` adds the next batch's items (JSON values) to
// `items`; fewer than kExportBatch end the array.
void StreamArray(httplib::Response& res, const std::string& name,
                 std::function<void(std::vector<std::string>* items)> next) {
  auto first = std::make_shared<bool>(true);
  res.set_chunked_content_provider(
      "application/json", [name, next, first](size_t offset, httplib::DataSink& sink) {
        std::string out = offset == 0 ? "{" + Json(name) + ":[" : "";
        std::vector<std::string> items;
        next(&items);
        const bool last = items.size() < kExportBatch;
        for (const std::string& item : items) {
          out += (*first ? "\n" : ",\n") + item;
          *first = false;
        }
        if (last) out += "\n]}\n";
        if (!sink.write(out.data(), out.size())) return false;
        if (last) sink.done();
        return true;
      });
}

void ReportsExport(const PageContext& c, httplib::Response& res) {
  auto lastId = std::make_shared<int64_t>(0);
  ReportStore* store = c.store;
  StreamArray(res, "reports", [store, lastId](std::vector<std::string>* items) {
    const std::vector<StoredReport> batch = store->ReportsAfter(*lastId, kExportBatch);
    for (const StoredReport& r : batch) items->push_back(ReportJson(r));
    if (!batch.empty()) *lastId = batch.back().id;
  });
}

std::string GroupJson(const PageContext& c, const Group& g) {
  const AddressName name = NameAddress(*c.maps, g.build, g.address);
  return "{\"build\":" + std::to_string(g.build) + ",\"exception\":" + Json(g.exception) +
         ",\"address\":\"" + Hex8(g.address) + "\",\"count\":" + std::to_string(g.count) +
         ",\"first_seen\":" + Json(IsoTime(g.firstMs)) + ",\"last_seen\":" +
         Json(IsoTime(g.lastMs)) + ",\"function\":" +
         (name.function.empty() ? "null" : Json(name.function)) + ",\"offset\":" +
         (name.function.empty() ? "null" : std::to_string(name.offset)) + ",\"named_by\":" +
         Json(RuleLabel(name.rule)) + ",\"rule\":" +
         Json(RuleText(name.rule, g.build, g.address, *c.maps)) + "}";
}

// Every group, in the order of their keys: a stranger makes a group with
// every address he sends from.
void GroupsExport(const PageContext& c, httplib::Response& res) {
  auto last = std::make_shared<std::unique_ptr<Group>>();
  StreamArray(res, "groups", [c, last](std::vector<std::string>* items) {
    const std::vector<Group> batch = c.store->GroupsAfter(last->get(), kExportBatch);
    for (const Group& g : batch) items->push_back(GroupJson(c, g));
    if (!batch.empty()) *last = std::make_unique<Group>(batch.back());
  });
}

// Compares without stopping at the first difference, so that the time taken
// does not tell how much of a guess was right.
bool SameSecret(const std::string& given, const std::string& token) {
  unsigned char differ = given.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); ++i)
    differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
  return differ == 0;
}

std::string CookieValue(const httplib::Request& req, const std::string& name) {
  const std::string cookies = req.get_header_value("Cookie");
  size_t at = 0;
  while (at < cookies.size()) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

// What the login cookie carries: a value derived from the token, so that a
// stolen cookie opens the page but does not tell the token (which may be
// kept elsewhere too).
std::string CookieSecret(const std::string& token) {
  static const char kLabel[] = "quil-reports page cookie";
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), token.data(), static_cast<int>(token.size()),
       reinterpret_cast<const unsigned char*>(kLabel), sizeof kLabel - 1, mac, &length);
  std::string hex;
  char digits[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", mac[i]);
    hex += digits;
  }
  return hex;
}

bool Authorized(const httplib::Request& req, const std::string& token,
                const std::string& cookieSecret) {
  const std::string bearer = req.get_header_value("Authorization");
  if (bearer.compare(0, 7, "Bearer ") == 0 && SameSecret(bearer.substr(7), token)) return true;
  return SameSecret(CookieValue(req, kCookie), cookieSecret);
}

// Whether `host` (a Host header) names the page on loopback: 127.0.0.1,
// localhost, [::1] or the page's own address, with or without a port.
bool LoopbackName(std::string host, const std::string& own) {
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    const std::string port = host.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    host.resize(colon);
  }
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
  return host == "127.0.0.1" || host == "localhost" || host == "[::1]" || host == own ||
         host == "[" + own + "]";
}

// Before any route: a page without a token answers only to its loopback
// names; with one, every page but the login form asks for it, and an
// address that has failed it too often is turned away for a while, right
// or wrong.
httplib::Server::HandlerResponse CheckAccess(const PageContext& c, const std::string& cookieSecret,
                                             const httplib::Request& req, httplib::Response& res) {
  using Handled = httplib::Server::HandlerResponse;
  if (c.token.empty()) {
    if (LoopbackName(req.get_header_value("Host"), c.host)) return Handled::Unhandled;
    res.status = 421;
    res.set_content("this page answers to 127.0.0.1, localhost and [::1] only\n", "text/plain");
    return Handled::Handled;
  }
  const std::string who = AddressKey(req.remote_addr);
  const bool attempt = (req.method == "POST" && req.path == "/login") ||
                       req.has_header("Authorization") || !CookieValue(req, kCookie).empty();
  if (attempt && c.logins->Spent(who)) {
    res.status = 429;
    res.set_header("Retry-After", "60");
    res.set_content("too many failed attempts from this address; try again in a minute\n",
                    "text/plain");
    return Handled::Handled;
  }
  if (req.path == "/login" || req.path == "/style.css" || Authorized(req, c.token, cookieSecret))
    return Handled::Unhandled;
  if (attempt) c.logins->Take(who);
  if (req.path.size() > 5 && req.path.compare(req.path.size() - 5, 5, ".json") == 0) {
    res.status = 401;
    res.set_header("WWW-Authenticate", "Bearer");
    res.set_content("{\"error\":\"the page token is needed\"}\n", "application/json");
  } else {
    res.status = 303;
    res.set_header("Location", "/login");
  }
  return Handled::Handled;
}

std::string LoginForm(const char* message) {
  return Page("Sign in", std::string("<h1>Quil.exe crash reports</h1>") + message +
                             "<form method=\"post\" action=\"/login\"><label>Page token "
                             "<input type=\"password\" name=\"token\" autofocus></label> "
                             "<button type=\"submit\">Sign in</button></form>\n");
}

}  // namespace

Limits PageLimits() {
  Limits limits;
  limits.workers = 8;
  // A browser opens six connections to a host.
  limits.workersPerAddress = 6;
  limits.maxConnections = 64;
  limits.maxPerAddress = 32;
  return limits;
}

void AddPageRoutes(BoundedServer& server, const PageContext& given) {
  PageContext context = given;
  context.page = &server.Counts();
  server.set_default_headers({
      {"Content-Security-Policy",
       "default-src 'none'; style-src 'self'; img-src 'self'; form-action 'self'; "
       "base-uri 'none'; frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  });
  const std::string cookieSecret = context.token.empty() ? "" : CookieSecret(context.token);
  server.SetRequestCheck([context, cookieSecret](const httplib::Request& req,
                                                 httplib::Response& res) {
    return CheckAccess(context, cookieSecret, req, res);
  });
  server.Get("/style.css", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kStyle, "text/css");
  });
  server.Get("/login", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(LoginForm(""), "text/html; charset=utf-8");
  });
  server.Post("/login", [context, cookieSecret](const httplib::Request& req,
                                               httplib::Response& res) {
    if (!context.token.empty() && SameSecret(req.get_param_value("token"), context.token)) {
      res.set_header("Set-Cookie", std::string(kCookie) + "=" + cookieSecret +
                                       "; Path=/; HttpOnly; SameSite=Strict" +
                                       (context.overTls ? "; Secure" : ""));
      res.status = 303;
      res.set_header("Location", "/");
      return;
    }
    if (!context.token.empty()) context.logins->Take(AddressKey(req.remote_addr));
    res.status = 403;
    res.set_content(LoginForm("<p>That is not the page token.</p>"), "text/html; charset=utf-8");
  });
  server.Get("/", [context](const httplib::Request&, httplib::Response& res) {
    GroupsPage(context, res);
  });
  server.Get("/group", [context](const httplib::Request& req, httplib::Response& res) {
    GroupPage(context, req, res);
  });
  server.Get("/unparsed", [context](const httplib::Request&, httplib::Response& res) {
    UnparsedPage(context, res);
  });
  server.Get("/reports.json", [context](const httplib::Request&, httplib::Response& res) {
    ReportsExport(context, res);
  });
  server.Get("/groups.json", [context](const httplib::Request&, httplib::Response& res) {
    GroupsExport(context, res);
  });
}

}  // namespace reports
