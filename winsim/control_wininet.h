// Test-side control of wininet: the report server behind the HTTP calls, and
// every exchange made with it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "winsim/win32_api.h"

namespace winsim {

// The per-user key that holds the automatic dial-up setting. A fresh machine
// has it, with "ProxyEnable" = 0 and no dial-up value.
const char kInternetSettingsKey[] =
    "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// The steps of one HTTP exchange, each of which the network can refuse.
enum InetStep { kInetOpen, kInetConnect, kInetRequest, kInetSend, kInetRead };
// The next `times` calls of that step fail with `error`.
void RefuseInet(InetStep step, int times = 1, DWORD error = ERROR_INTERNET_CANNOT_CONNECT);

// The server's reply body and HTTP status from now on (a fresh machine's
// server answers "OK" with 200). A queued reply answers the next request
// only, before the standing one; queued replies are used in order.
void SetServerReply(const std::string& body, DWORD status = 200);
void QueueServerReply(const std::string& body, DWORD status = 200);
// Runs each time a request reaches the server, before it replies: a test's
// look at the machine in the middle of an attempt.
void WhenRequestArrives(std::function<void()> probe);

// One exchange, from its InternetOpenA on: what each call asked for, recorded
// also when the call was refused. A text argument that was a null pointer is
// std::nullopt, so that "" and null stay apart.
struct InetExchange {
  std::optional<std::string> agent;
  DWORD accessType = 0;
  std::optional<std::string> proxy, proxyBypass;
  DWORD openFlags = 0;

  bool connected = false;  // InternetConnectA was called
  std::optional<std::string> host;
  INTERNET_PORT port = 0;
  DWORD service = 0;
  std::optional<std::string> user, password;
  DWORD connectFlags = 0;

  bool requested = false;  // HttpOpenRequestA was called
  std::optional<std::string> verb, object, version, referrer;
  bool acceptTypes = false;  // a list of accepted types was given
  DWORD flags = 0;

  bool sent = false;  // HttpSendRequestA was called
  std::optional<std::string> header;  // as many bytes as the length says
  DWORD headerLength = 0;
  std::string body;  // exactly the bytes handed over
  bool delivered = false;  // the server received it and replied
  std::string reply;
  DWORD status = 0;

  int reads = 0;  // InternetReadFile calls
};
const std::vector<InetExchange>& InetExchanges();
// Handle closes in order, each "request", "connection" or "root".
const std::vector<std::string>& InetCloses();
int OpenInternetHandleCount();

}  // namespace winsim
