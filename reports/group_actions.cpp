#include "reports/group_actions.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "reports/group_state.h"
#include "reports/page.h"
#include "reports/text.h"

namespace reports {
namespace {

const char kSessionCookie[] = "quil_page_session";

std::string HexOf(const unsigned char* bytes, size_t size) {
  std::string out;
  char two[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

bool HexWord(const std::string& text, size_t size) {
  return text.size() == size && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The group a form names: its exception and its address, 8 hex digits.
bool FormGroup(const httplib::Request& req, std::string* exception, uint32_t* address) {
  const std::string text = req.get_param_value("address");
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 16);
  *exception = req.get_param_value("exception");
  *address = static_cast<uint32_t>(value);
  return text.size() == 8 && *end == '\0' && !exception->empty();
}

// Whether a browser's Origin names the Host the request came to. Names are
// compared without case, as the page's check of its loopback names compares
// them, so that the two agree on what this page is.
bool OriginOfHost(const std::string& origin, const std::string& host) {
  const auto lower = [](std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    return text;
  };
  const std::string o = lower(origin), h = lower(host);
  return !h.empty() && (o == "http://" + h || o == "https://" + h);
}

void Answer(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

}  // namespace

FormGuard::FormGuard(bool secure) : secure_(secure) {
  if (RAND_bytes(secret_, sizeof secret_) != 1) std::abort();  // no secret, no forms
}

std::string HmacHex(const void* key, size_t keySize, const std::string& message) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key, static_cast<int>(keySize),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), mac, &size);
  return HexOf(mac, size);
}

bool SameSecret(const std::string& given, const std::string& expected) {
  unsigned char differ = given.size() == expected.size() ? 0 : 1;
  for (size_t i = 0; i < expected.size(); ++i)
    differ |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
  return differ == 0;
}

std::string FormGuard::Derive(const std::string& session) const {
  return HmacHex(secret_, sizeof secret_, session);
}

std::string FormGuard::TokenFor(const httplib::Request& req, httplib::Response& res) const {
  std::string session = CookieValue(req, kSessionCookie);
  if (!HexWord(session, 32)) {
    unsigned char fresh[16];
    if (RAND_bytes(fresh, sizeof fresh) != 1) return "";
    session = HexOf(fresh, sizeof fresh);
    res.set_header("Set-Cookie", std::string(kSessionCookie) + "=" + session +
                                     "; Path=/; HttpOnly; SameSite=Strict" +
                                     (secure_ ? "; Secure" : ""));
  }
  return Derive(session);
}

bool FormGuard::Allows(const httplib::Request& req, std::string* why) const {
  const std::string session = CookieValue(req, kSessionCookie);
  const std::string given = req.get_param_value("form_token");
  const std::string expected = HexWord(session, 32) ? Derive(session) : "";
  if (expected.empty() || !SameSecret(given, expected)) {
    *why = "this form is not from this page's session: open the page again";
  } else if (req.has_header("Sec-Fetch-Site") &&
             req.get_header_value("Sec-Fetch-Site") != "same-origin") {
    *why = "a form from another site";
  } else if (req.has_header("Origin") &&
             !OriginOfHost(req.get_header_value("Origin"), req.get_header_value("Host"))) {
    *why = "a form from another origin";
  } else {
    return true;
  }
  return false;
}

std::string GroupForms(const Group& g, const std::string& formToken) {
  const std::string fields = "<input type=\"hidden\" name=\"form_token\" value=\"" +
                             Html(formToken) + "\"><input type=\"hidden\" name=\"exception\" value=\"" +
                             Html(g.exception) + "\"><input type=\"hidden\" name=\"address\" value=\"" +
                             Hex8(g.address) + "\">";
  // The next build is the likeliest to carry a fix.
  const unsigned suggested = g.fixedBuild >= 0 ? static_cast<unsigned>(g.fixedBuild)
                                               : std::min(g.build + 1, 999u);
  std::string html = "<form method=\"post\" action=\"/group/fixed\" id=\"mark-fixed\">" + fields +
                     "<label>Fixed in build <input type=\"number\" name=\"build\" min=\"0\" "
                     "max=\"999\" required value=\"" + std::to_string(suggested) +
                     "\"></label> <button type=\"submit\">Mark fixed</button></form>\n";
  if (g.fixedBuild >= 0)
    html += "<form method=\"post\" action=\"/group/reopen\" id=\"reopen\">" + fields +
            "<button type=\"submit\">Undo: not fixed</button></form>\n";
  return html;
}

void AddGroupActions(httplib::Server& server, ReportStore& store,
                     std::shared_ptr<const FormGuard> guard) {
  server.Post("/group/fixed", [&store, guard](const httplib::Request& req, httplib::Response& res) {
    std::string why, exception;
    uint32_t address = 0;
    const std::string buildText = req.get_param_value("build");
    if (!guard->Allows(req, &why)) return Answer(res, 403, why);
    if (!FormGroup(req, &exception, &address) || buildText.empty() || buildText.size() > 3 ||
        buildText.find_first_not_of("0123456789") != std::string::npos)
      return Answer(res, 400, "a group and a build from 0 to 999");
    if (!store.MarkFixed(exception, address, static_cast<unsigned>(std::stoi(buildText))))
      return Answer(res, 404, "no such group");
    res.status = 303;
    res.set_header("Location", GroupPath(Group{0, exception, address}));
  });
  server.Post("/group/reopen", [&store, guard](const httplib::Request& req, httplib::Response& res) {
    std::string why, exception;
    uint32_t address = 0;
    if (!guard->Allows(req, &why)) return Answer(res, 403, why);
    if (!FormGroup(req, &exception, &address)) return Answer(res, 400, "a group");
    if (!store.Reopen(exception, address)) return Answer(res, 404, "no such group or not fixed");
    res.status = 303;
    res.set_header("Location", GroupPath(Group{0, exception, address}));
  });
}

}  // namespace reports
