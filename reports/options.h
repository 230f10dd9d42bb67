// The command line:
//   quil-reports --db FILE --listen ADDR:PORT [--page ADDR:PORT]
//                [--symbols DIR] [--page-token TOKEN | --page-token-file FILE]
//                [--keep-days N]
#pragma once

#include <string>
#include <vector>

namespace reports {

struct Endpoint {
  std::string host;  // a numeric IPv4 or IPv6 address
  int port = 0;
};

struct Options {
  std::string db;
  Endpoint listen;
  Endpoint page{"127.0.0.1", 8080};
  std::string symbols;
  std::string pageToken;
  int keepDays = 90;  // raw reports older than this are deleted
};

// "ADDR:PORT", or "[ADDR]:PORT" for IPv6; the address numeric.
bool ParseEndpoint(const std::string& text, Endpoint* endpoint);
// 127.0.0.0/8 and ::1.
bool IsLoopback(const std::string& host);

// False, with the message to print, when the command line cannot be used:
// a missing or unknown option, a bad address, or a page on a non-loopback
// address without a token.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

extern const char kUsage[];

}  // namespace reports
