#include "reports/options.h"

#include <arpa/inet.h>

#include <fstream>

namespace reports {

const char kUsage[] =
    "usage: quil-reports --db FILE --listen ADDR:PORT [--page ADDR:PORT] [--symbols DIR]\n"
    "                    [--page-token-file FILE | --page-token TOKEN] [--page-over-tls]\n"
    "                    [--address-rate N] [--min-free-mb N] [--max-store-mb N]\n"
    "                    [--notify-mail ADDRESS] [--notify-url URL] [--page-url URL]\n"
    "                    [--sendmail PATH] [--notify-per-hour N] [--notify-retry SECONDS]\n"
    "                    [--keep-days N]\n"
    "  --listen          the public intake of crash reports (port 80 in production)\n"
    "  --page            the maker's page and export (default 127.0.0.1:8080); a\n"
    "                    non-loopback address needs a page token\n"
    "  --page-token-file the page token, the file's first line (on the command line it\n"
    "                    would show in ps)\n"
    "  --page-over-tls   the page is reached over HTTPS: its cookies are marked Secure\n"
    "  --address-rate    reports a minute from one address (IPv6: one /64), 429 past\n"
    "                    it (default 60)\n"
    "  --min-free-mb     the free space kept on the store's disk, 503 below it\n"
    "                    (default 512)\n"
    "  --max-store-mb    the store's largest size, 503 past it (default: none)\n"
    "  --symbols         the folder of the builds' symbol maps (quil-NNN.map)\n"
    "  --notify-mail ADDRESS, --notify-url http://HOST[:PORT]/PATH: notices of new groups\n"
    "                    and regressions, through sendmail -t (--sendmail PATH) or as a\n"
    "                    JSON POST; --page-url URL is the page's address they link to;\n"
    "                    at most --notify-per-hour N (6) an hour, then one digest; a\n"
    "                    failure is tried again after --notify-retry SECONDS (300),\n"
    "                    doubling\n"
    "  --keep-days N     raw reports are deleted after N days (90); the counts stay\n";

namespace {

// Letters, digits and what a URL or an address may carry, nothing that
// would end a header, an attribute or a command's word.
bool PlainWord(const std::string& text) {
  if (text.empty() || text.size() > 512) return false;
  for (char c : text)
    if (c <= ' ' || c > '~' || c == '"' || c == '\'' || c == '<' || c == '>' || c == '\\')
      return false;
  return true;
}

// A whole number from `low` to `high`, digits only: no sign, no space.
template <typename Number>
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, Number* value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const uint64_t number = std::stoull(text);
  if (number < low || number > high) return false;
  *value = static_cast<Number>(number);
  return true;
}

// The options that take a value beside the endpoints and the token: 1
// taken, 0 not one of them, -1 a bad value (with the message).
int ParseValueOption(const std::string& name, const std::string& value, Options* options,
                    std::string* error) {
  NoticeOptions& n = options->notify;
  bool ok = true;
  if (name == "--notify-mail") {
    // An address for the To: header: local@domain, no leading '-'.
    const size_t at = value.find('@');
    ok = PlainWord(value) && value[0] != '-' && at != std::string::npos && at > 0 &&
         at + 1 < value.size() && value.find_first_of(",;:()[]") == std::string::npos;
    n.mail = value;
  } else if (name == "--notify-url") {
    ok = ParseHttpUrl(value, &n.post);
    n.url = value;
  } else if (name == "--page-url") {
    ok = PlainWord(value) && (value.compare(0, 7, "http://") == 0 ||
                              value.compare(0, 8, "https://") == 0);
    n.pageUrl = value;
    while (!n.pageUrl.empty() && n.pageUrl.back() == '/') n.pageUrl.pop_back();
  } else if (name == "--sendmail") {
    ok = !value.empty() && value[0] == '/';
    n.sendmail = value;
  } else if (name == "--notify-per-hour") {
    ok = ParseNumber(value, 1, 1000, &n.perHour);
  } else if (name == "--notify-retry") {
    ok = ParseNumber(value, 1, 86400, &n.retrySeconds);
  } else if (name == "--keep-days") {
    ok = ParseNumber(value, 1, 36500, &options->keepDays);
  } else if (name == "--address-rate") {
    ok = ParseNumber(value, 1, 1000000000, &options->addressRate);
  } else if (name == "--min-free-mb") {
    ok = ParseNumber(value, 1, 1000000000, &options->minFreeMb);
  } else if (name == "--max-store-mb") {
    ok = ParseNumber(value, 1, 1000000000, &options->maxStoreMb);
  } else {
    return 0;
  }
  if (!ok) *error = name + " " + value + ": not a usable value (see the usage below)";
  return ok ? 1 : -1;
}

}  // namespace

bool ParseHttpUrl(const std::string& text, HttpUrl* url) {
  if (!PlainWord(text) || text.compare(0, 7, "http://") != 0) return false;
  const size_t slash = text.find('/', 7);
  std::string authority = text.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
  HttpUrl read;
  if (slash != std::string::npos) read.path = text.substr(slash);
  if (authority.find('@') != std::string::npos) return false;
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos && authority.find(']', colon) == std::string::npos) {
    if (!ParseNumber(authority.substr(colon + 1), 1, 65535, &read.port)) return false;
    authority.resize(colon);
  }
  if (authority.size() > 2 && authority.front() == '[' && authority.back() == ']')
    authority = authority.substr(1, authority.size() - 2);
  if (authority.empty()) return false;
  read.host = authority;
  *url = read;
  return true;
}

bool ParseEndpoint(const std::string& text, Endpoint* endpoint) {
  std::string host, port;
  if (!text.empty() && text[0] == '[') {
    size_t close = text.find("]:");
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    in6_addr v6;
    if (inet_pton(AF_INET6, host.c_str(), &v6) != 1) return false;
  } else {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    in_addr v4;
    if (inet_pton(AF_INET, host.c_str(), &v4) != 1) return false;
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  const int number = std::stoi(port);
  if (number < 1 || number > 65535) return false;
  endpoint->host = host;
  endpoint->port = number;
  return true;
}

bool IsLoopback(const std::string& host) {
  in_addr v4;
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6;
  return inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
  std::string tokenFile;
  bool tokenGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--page-over-tls") {
      options->pageOverTls = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      *error = name + ": needs a value";
      return false;
    }
    const std::string& value = args[++i];
    if (name == "--db") {
      options->db = value;
    } else if (name == "--listen" || name == "--page") {
      if (!ParseEndpoint(value, name == "--listen" ? &options->listen : &options->page)) {
        *error = name + " " + value + ": not ADDR:PORT with a numeric address ([ADDR]:PORT for IPv6)";
        return false;
      }
    } else if (name == "--symbols") {
      options->symbols = value;
    } else if (name == "--page-token") {
      options->pageToken = value;
      tokenGiven = true;
    } else if (name == "--page-token-file") {
      tokenFile = value;
      tokenGiven = true;
    } else if (int taken = ParseValueOption(name, value, options, error)) {
      if (taken < 0) return false;
    } else {
      *error = name + ": not an option";
      return false;
    }
  }
  if (!tokenFile.empty()) {
    std::ifstream in(tokenFile);
    if (!in || !std::getline(in, options->pageToken)) {
      *error = "--page-token-file " + tokenFile + ": cannot be read";
      return false;
    }
  }
  if (options->db.empty() || options->listen.port == 0) {
    *error = "--db and --listen are needed";
    return false;
  }
  // Letters, digits and -._~ only (it may travel in a header), and long
  // enough not to be guessed; an empty one, from a file whose first line is
  // empty, say, is refused as a short one, not taken for no token.
  if (tokenGiven &&
      (options->pageToken.size() < 16 ||
       options->pageToken.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789-._~") != std::string::npos)) {
    *error = "the page token must be at least 16 letters, digits or -._~";
    return false;
  }
  if (options->pageToken.empty() && !IsLoopback(options->page.host)) {
    *error = "--page " + options->page.host + ":" + std::to_string(options->page.port) +
             " is not a loopback address: anyone who reaches it would read every report. "
             "Give --page-token-file FILE (or --page-token TOKEN, which shows in ps), and every "
             "page and export will ask for it, or keep the page on 127.0.0.1";
    return false;
  }
  if (options->notify.pageUrl.empty())
    options->notify.pageUrl = "http://" + (options->page.host.find(':') == std::string::npos
                                               ? options->page.host
                                               : "[" + options->page.host + "]") +
                              ":" + std::to_string(options->page.port);
  return true;
}

}  // namespace reports
