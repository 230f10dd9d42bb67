// The command line:
//   quil-reports --db FILE --listen ADDR:PORT [--page ADDR:PORT]
//                [--symbols DIR] [--page-token-file FILE | --page-token TOKEN]
//                [--page-over-tls] [--address-rate N] [--min-free-mb N]
//                [--max-store-mb N] [--notify-mail ADDRESS] [--notify-url URL]
//                [--page-url URL] [--sendmail PATH] [--notify-per-hour N]
//                [--notify-retry SECONDS] [--keep-days N]
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reports {

struct Endpoint {
  std::string host;  // a numeric IPv4 or IPv6 address
  int port = 0;
};

// "http://HOST[:PORT][/PATH]": where the notices are posted. Plain HTTP only.
struct HttpUrl {
  std::string host;
  int port = 80;
  std::string path = "/";
};

// Who hears of a new group or a regression, and how often at most.
struct NoticeOptions {
  std::string mail;                         // an address, through sendmail -t
  std::string sendmail = "/usr/sbin/sendmail";
  std::string url;                          // as given; `post` is its reading
  HttpUrl post;
  std::string pageUrl;                      // where the maker reaches the page
  int perHour = 6;                          // notices an hour, past that a digest
  int retrySeconds = 300;                   // the first wait after a failure
  bool On() const { return !mail.empty() || !url.empty(); }
};

struct Options {
  std::string db;
  Endpoint listen;
  Endpoint page{"127.0.0.1", 8080};
  std::string symbols;
  std::string pageToken;
  bool pageOverTls = false;
  double addressRate = 60;   // reports a minute from one address
  uint64_t minFreeMb = 512;  // the free space kept on the store's disk
  uint64_t maxStoreMb = 0;   // 0: no bound but the disk's
  NoticeOptions notify;
  int keepDays = 90;  // raw reports older than this are deleted
};

// "ADDR:PORT", or "[ADDR]:PORT" for IPv6; the address numeric.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint);
bool ParseHttpUrl(const std::string& text, HttpUrl* url);
// 127.0.0.0/8 and ::1.
bool IsLoopback(const std::string& host);

// False, with the message to print, when the command line cannot be used:
// a missing or unknown option, a bad address, or a page on a non-loopback
// address without a token.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

extern const char kUsage[];

}  // namespace reports
