#include "reports/options.h"

#include <arpa/inet.h>

#include <fstream>

namespace reports {

const char kUsage[] =
    "usage: quil-reports --db FILE --listen ADDR:PORT [--page ADDR:PORT] [--symbols DIR]\n"
    "                    [--page-token-file FILE | --page-token TOKEN] [--page-over-tls]\n"
    "                    [--address-rate N] [--min-free-mb N] [--max-store-mb N]\n"
    "  --listen          the public intake of crash reports (port 80 in production)\n"
    "  --page            the maker's page and export (default 127.0.0.1:8080); a\n"
    "                    non-loopback address needs a page token\n"
    "  --page-token-file the page token, the file's first line (on the command line it\n"
    "                    would show in ps)\n"
    "  --page-over-tls   the page is reached over HTTPS: its cookie is marked Secure\n"
    "  --address-rate    reports a minute from one address (IPv6: one /64), 429 past\n"
    "                    it (default 60)\n"
    "  --min-free-mb     the free space kept on the store's disk, 503 below it\n"
    "                    (default 512)\n"
    "  --max-store-mb    the store's largest size, 503 past it (default: none)\n"
    "  --symbols         the folder of the builds' symbol maps (quil-NNN.map)\n";

namespace {

// A whole number from 1 to 10^9, digits only.
bool ParseCount(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *value = std::stoull(text);
  return *value >= 1 && *value <= 1000000000;
}

}  // namespace

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
    } else if (name == "--address-rate" || name == "--min-free-mb" || name == "--max-store-mb") {
      uint64_t count = 0;
      if (!ParseCount(value, &count)) {
        *error = name + " " + value + ": not a whole number from 1 to 1000000000";
        return false;
      }
      if (name == "--address-rate") options->addressRate = static_cast<double>(count);
      if (name == "--min-free-mb") options->minFreeMb = count;
      if (name == "--max-store-mb") options->maxStoreMb = count;
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
  return true;
}

}  // namespace reports
