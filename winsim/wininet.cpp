// winsim's WinInet: handles in a tree (root, connection, request) over one
// scripted report server, every exchange recorded.
#include <deque>
#include <functional>
#include <map>

#include "winsim/machine.h"

namespace winsim {
namespace {

enum Kind { kRoot, kConnection, kRequest };
const char* const kKindNames[] = {"root", "connection", "request"};

struct InetHandle {
  Kind kind;
  uintptr_t parent;  // 0 for a root
  size_t exchange;   // index into the exchanges
  size_t readPosition = 0;
};

struct Reply {
  std::string body;
  DWORD status;
};

struct Inet {
  std::map<uintptr_t, InetHandle> handles;
  uintptr_t nextHandle = 0xCC0000;
  std::vector<InetExchange> exchanges;
  std::vector<std::string> closes;
  int refusals[5] = {};
  DWORD refusalErrors[5] = {};
  Reply standing{"OK", 200};
  std::deque<Reply> queued;
  std::function<void()> arrival;
};

Inet& I() {
  static Inet inet;
  return inet;
}

const char* const kStepCalls[] = {"InternetOpenA", "InternetConnectA", "HttpOpenRequestA",
                                  "HttpSendRequestA", "InternetReadFile"};

// Counts the call as faultable, then applies the test's refusals of its step.
bool Refused(InetStep step) {
  if (ShouldFail(kStepCalls[step])) return true;
  if (I().refusals[step] == 0) return false;
  --I().refusals[step];
  M().lastError = I().refusalErrors[step];
  return true;
}

std::optional<std::string> Text(const char* s) {
  return s ? std::optional<std::string>(s) : std::nullopt;
}

HINTERNET NewHandle(Kind kind, uintptr_t parent, size_t exchange) {
  uintptr_t h = I().nextHandle;
  I().nextHandle += 4;
  I().handles[h] = InetHandle{kind, parent, exchange};
  return reinterpret_cast<HINTERNET>(h);
}

// The open handle of that kind, or null with the system's error.
InetHandle* HandleOf(HINTERNET h, Kind kind) {
  auto it = I().handles.find(reinterpret_cast<uintptr_t>(h));
  if (it == I().handles.end()) {
    M().lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (it->second.kind != kind) {
    M().lastError = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    return nullptr;
  }
  return &it->second;
}

}  // namespace

void ResetInet() {
  I() = Inet();
  SetRegNumber(kInternetSettingsKey, "ProxyEnable", 0);
}

void RefuseInet(InetStep step, int times, DWORD error) {
  I().refusals[step] += times;
  I().refusalErrors[step] = error;
}
void SetServerReply(const std::string& body, DWORD status) { I().standing = Reply{body, status}; }
void QueueServerReply(const std::string& body, DWORD status) {
  I().queued.push_back(Reply{body, status});
}
void WhenRequestArrives(std::function<void()> probe) { I().arrival = std::move(probe); }
const std::vector<InetExchange>& InetExchanges() { return I().exchanges; }
const std::vector<std::string>& InetCloses() { return I().closes; }
int OpenInternetHandleCount() { return static_cast<int>(I().handles.size()); }

}  // namespace winsim

using namespace winsim;

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                        DWORD flags) {
  InetExchange e;
  e.agent = Text(agent);
  e.accessType = accessType;
  e.proxy = Text(proxy);
  e.proxyBypass = Text(proxyBypass);
  e.openFlags = flags;
  I().exchanges.push_back(e);
  if (Refused(kInetOpen)) return nullptr;
  return NewHandle(kRoot, 0, I().exchanges.size() - 1);
}

HINTERNET InternetConnectA(HINTERNET internet, LPCSTR serverName, INTERNET_PORT serverPort,
                           LPCSTR userName, LPCSTR password, DWORD service, DWORD flags,
                           DWORD_PTR) {
  InetHandle* root = HandleOf(internet, kRoot);
  if (!root) return nullptr;
  size_t index = root->exchange;
  InetExchange& e = I().exchanges[index];
  e.connected = true;
  e.host = Text(serverName);
  e.port = serverPort;
  e.service = service;
  e.user = Text(userName);
  e.password = Text(password);
  e.connectFlags = flags;
  if (Refused(kInetConnect)) return nullptr;
  if (!serverName || !*serverName) {
    M().lastError = ERROR_INTERNET_NAME_NOT_RESOLVED;
    return nullptr;
  }
  return NewHandle(kConnection, reinterpret_cast<uintptr_t>(internet), index);
}

HINTERNET HttpOpenRequestA(HINTERNET connect, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR) {
  InetHandle* connection = HandleOf(connect, kConnection);
  if (!connection) return nullptr;
  size_t index = connection->exchange;
  InetExchange& e = I().exchanges[index];
  e.requested = true;
  e.verb = Text(verb);
  e.object = Text(objectName);
  e.version = Text(version);
  e.referrer = Text(referrer);
  e.acceptTypes = acceptTypes != nullptr;
  e.flags = flags;
  if (Refused(kInetRequest)) return nullptr;
  return NewHandle(kRequest, reinterpret_cast<uintptr_t>(connect), index);
}

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength) {
  InetHandle* r = HandleOf(request, kRequest);
  if (!r) return FALSE;
  const size_t index = r->exchange;
  InetExchange& e = I().exchanges[index];
  e.sent = true;
  // A length of -1 means a terminated text, as in the system's library.
  if (headers)
    e.header = headersLength == static_cast<DWORD>(-1) ? std::string(headers)
                                                      : std::string(headers, headersLength);
  e.headerLength = headersLength;
  e.body = optional ? std::string(static_cast<const char*>(optional), optionalLength) : "";
  if (Refused(kInetSend)) return FALSE;
  if (I().arrival) I().arrival();
  Reply reply = I().standing;
  if (!I().queued.empty()) {
    reply = I().queued.front();
    I().queued.pop_front();
  }
  // An error status is still a delivered exchange: the call succeeds.
  InetExchange& delivered = I().exchanges[index];
  delivered.delivered = true;
  delivered.reply = reply.body;
  delivered.status = reply.status;
  return TRUE;
}

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD toRead, LPDWORD read) {
  InetHandle* r = HandleOf(file, kRequest);
  if (!r) return FALSE;
  InetExchange& e = I().exchanges[r->exchange];
  ++e.reads;
  if (read == nullptr || (buffer == nullptr && toRead != 0)) {
    M().lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  *read = 0;
  if (!e.delivered) {
    M().lastError = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return FALSE;
  }
  if (Refused(kInetRead)) return FALSE;
  size_t left = e.reply.size() - r->readPosition;
  size_t n = left < toRead ? left : toRead;
  e.reply.copy(static_cast<char*>(buffer), n, r->readPosition);
  r->readPosition += n;
  *read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET internet) {
  uintptr_t h = reinterpret_cast<uintptr_t>(internet);
  auto it = I().handles.find(h);
  if (it == I().handles.end()) {
    M().misuse.push_back("InternetCloseHandle of a handle that is not open");
    M().lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  for (const auto& other : I().handles)
    if (other.second.parent == h) {
      M().misuse.push_back(std::string("internet ") + kKindNames[it->second.kind] +
                           " handle closed before the handles opened from it");
      break;
    }
  I().closes.push_back(kKindNames[it->second.kind]);
  I().handles.erase(it);
  return TRUE;
}
