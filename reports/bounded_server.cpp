#include "reports/bounded_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace reports {
namespace {

using Clock = std::chrono::steady_clock;
using httplib::Server;

thread_local bool t_closeAfterReply = false;
// Whether the head of the request this thread reads had a line not ended by
// CRLF: the library skips such a line, so its headers cannot show it.
thread_local bool t_looseHead = false;

std::string NumericAddress(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text,
              sizeof text);
  } else if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text,
              sizeof text);
  }
  return text;
}

int PortOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET)
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6)
    return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return 0;
}

// Waits until `sock` is ready for `events`, at most `wait`; false on a
// time-out or an error.
bool PollFor(int sock, short events, std::chrono::milliseconds wait) {
  if (wait.count() <= 0) wait = std::chrono::milliseconds(0);
  pollfd fd{sock, events, 0};
  int n;
  do {
    n = ::poll(&fd, 1, static_cast<int>(wait.count()));
  } while (n < 0 && errno == EINTR);
  return n > 0 && (fd.revents & (events | POLLHUP | POLLERR)) != 0;
}

bool IsToken(const std::string& name) {
  static const char kTokenChars[] =
      "!#$%&'*+-.^_`|~0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  return !name.empty() && name.find_first_not_of(kTokenChars) == std::string::npos;
}

Server::HandlerResponse Refuse(httplib::Response& res, int status, const char* why) {
  res.status = status;
  res.set_content(std::string(why) + "\n", "text/plain");
  return Server::HandlerResponse::Handled;
}

}  // namespace

// The library reads and writes a connection through this: reads come from a
// buffer refilled from the socket, each request may take `maxRequestBytes`
// in all before the deadline, and no wait outlasts the read or write timeout.
// While it waits for the client's bytes, the connection says so, so that its
// thread can be taken back for someone else.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(BoundedServer::Connection& connection, const Limits& limits)
      : connection_(connection), sock_(connection.sock), limits_(limits) {}

  void StartRequest(Clock::time_point start) {
    deadline_ = start + limits_.requestDeadline;
    connection_.since = start.time_since_epoch().count();
    taken_ = 0;
    overBudget_ = false;
    late_ = false;
    inHead_ = true;
    headTail_ = 0;
    t_looseHead = false;
  }
  bool OverBudget() const { return overBudget_; }
  bool Late() const { return late_; }
  // True once the next request's first byte is here, within `wait`.
  bool WaitForRequest(std::chrono::milliseconds wait) {
    connection_.since = Clock::now().time_since_epoch().count();
    return begin_ < end_ || WaitToRead(wait);
  }

  bool is_readable() const override { return begin_ < end_ || WaitToRead(ReadWait()); }
  bool is_writable() const override { return PollFor(sock_, POLLOUT, limits_.writeTimeout); }

  ssize_t read(char* ptr, size_t size) override {
    if (taken_ >= limits_.maxRequestBytes) {
      overBudget_ = true;
      return -1;
    }
    if (begin_ == end_) {
      // Whatever was written goes out before the wait ("100 Continue").
      if (!Flush()) return -1;
      // Bytes already here are taken without a wait (and without a poll);
      // the deadline stops a client only when it makes the service wait.
      ssize_t got = Receive(MSG_DONTWAIT);
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!WaitToRead(ReadWait())) {
          late_ = Clock::now() >= deadline_;
          return -1;
        }
        got = Receive(0);
      }
      if (got <= 0) return got;
      begin_ = 0;
      end_ = static_cast<size_t>(got);
    }
    size_t n = std::min({size, end_ - begin_, limits_.maxRequestBytes - taken_});
    std::memcpy(ptr, buffer_ + begin_, n);
    ScanHead(ptr, n);
    begin_ += n;
    taken_ += n;
    return static_cast<ssize_t>(n);
  }

  // The library writes a reply's head and its body apart; gathered here,
  // a short reply leaves in one segment, and one send.
  ssize_t write(const char* ptr, size_t size) override {
    if (failed_) return -1;
    if (out_.size() + size > kGather) {
      // A reply in more than one send: without this, the last would wait
      // for the peer's delayed acknowledgement of the one before.
      if (!noDelay_) {
        int yes = 1;
        setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        noDelay_ = true;
      }
      if (!Flush()) return -1;
      if (size > kGather) return SendAll(ptr, size) ? static_cast<ssize_t>(size) : -1;
    }
    out_.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  // Sends what write() gathered; false once any send has failed.
  bool Flush() {
    if (!out_.empty() && !failed_) failed_ = !SendAll(out_.data(), out_.size());
    out_.clear();
    return !failed_;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = connection_.address;
    port = connection_.port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      ip = NumericAddress(address);
      port = PortOf(address);
    }
  }
  socket_t socket() const override { return sock_; }

 private:
  bool WaitToRead(std::chrono::milliseconds wait) const {
    connection_.waiting = true;
    const bool ready = PollFor(sock_, POLLIN, wait);
    connection_.waiting = false;
    return ready;
  }

  ssize_t Receive(int flags) {
    ssize_t got;
    do {
      got = ::recv(sock_, buffer_, sizeof buffer_, flags);
    } while (got < 0 && errno == EINTR);
    return got;
  }

  // Sends at once what the socket takes; waits (at most the write timeout
  // each time) only when it takes nothing.
  bool SendAll(const char* ptr, size_t size) {
    while (size > 0) {
      ssize_t sent;
      do {
        sent = ::send(sock_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      } while (sent < 0 && errno == EINTR);
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!PollFor(sock_, POLLOUT, limits_.writeTimeout)) return false;
        continue;
      }
      if (sent <= 0) return false;
      ptr += sent;
      size -= static_cast<size_t>(sent);
    }
    return true;
  }

  // Follows the head (up to its empty line) as the library takes it: every
  // CR must begin a CRLF and every LF end one.
  void ScanHead(const char* bytes, size_t n) {
    for (size_t i = 0; i < n && inHead_; ++i) {
      const char c = bytes[i];
      const bool afterCr = (headTail_ & 0xFF) == '\r';
      if ((c == '\n') != afterCr) t_looseHead = true;
      headTail_ = (headTail_ << 8) | static_cast<unsigned char>(c);
      if ((headTail_ & 0xFFFFFFFFu) == 0x0D0A0D0Au) inHead_ = false;
    }
  }

  std::chrono::milliseconds ReadWait() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return std::min(left, limits_.readTimeout);
  }

  BoundedServer::Connection& connection_;
  int sock_;
  const Limits& limits_;
  Clock::time_point deadline_;
  size_t taken_ = 0;
  bool overBudget_ = false;
  bool late_ = false;
  bool inHead_ = true;
  uint32_t headTail_ = 0;  // the head's last four bytes
  char buffer_[4096];
  size_t begin_ = 0, end_ = 0;
  static constexpr size_t kGather = 16 * 1024;
  std::string out_;
  bool failed_ = false;
  bool noDelay_ = false;
};

namespace {

// Ends a connection whose peer may still be sending (a body left unread):
// closing at once would reset it, and the peer could lose the reply. Stop
// writing, read and drop what comes for a moment. A thread waiting here
// counts as waiting for its client from the start, the first to be taken
// back.
void LingeringClose(int sock) {
  ::shutdown(sock, SHUT_WR);
  char sink[4096];
  const auto until = Clock::now() + std::chrono::seconds(2);
  size_t dropped = 0;
  while (dropped < 256 * 1024 && Clock::now() < until &&
         PollFor(sock, POLLIN, std::chrono::milliseconds(200))) {
    ssize_t got = ::recv(sock, sink, sizeof sink, 0);
    if (got <= 0) break;
    dropped += static_cast<size_t>(got);
  }
}

}  // namespace

std::vector<std::pair<std::string, uint64_t>> Refusals::List() const {
  return {
      {"connections closed, their address's share open", perAddress},
      {"unfinished connections taken back for others", reclaimed},
      {"connections closed at the cap, every open one being answered", atCap},
      {"requests not sent within the deadline", late},
      {"requests answered 4xx (not a report, malformed, foreign Host)", refused},
      {"answered 429, over the per-address rate", rate},
      {"answered 503, below the disk floor", diskFloor},
      {"answered 503, the commit failed", storeFailed},
  };
}

std::string Refusals::Text() const {
  std::string text;
  for (const auto& [name, count] : List())
    text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(count);
  return text;
}

std::string AddressKey(const std::string& numericAddress) {
  in6_addr v6;
  if (inet_pton(AF_INET6, numericAddress.c_str(), &v6) != 1) return numericAddress;
  char text[INET6_ADDRSTRLEN] = "";
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    return text;
  }
  std::memset(&v6.s6_addr[8], 0, 8);
  inet_ntop(AF_INET6, &v6, text, sizeof text);
  return std::string(text) + "/64";
}

BoundedServer::BoundedServer(const Limits& limits, Refusals* refusals)
    : limits_(limits), refusals_(refusals) {
  set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  set_payload_max_length(limits.maxRequestBytes);
  // What the replies' Keep-Alive header announces.
  set_keep_alive_max_count(limits.keepAliveRequests);
  set_keep_alive_timeout(
      std::chrono::duration_cast<std::chrono::seconds>(limits.keepAliveIdle).count());
  set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    return CheckFraming(req, res);
  });
  // Every refusal is counted here, whoever made it (a 503 by the intake,
  // which knows why). The library answers what it cannot parse with a 400
  // and would read on: after any error the next bytes are not to be trusted
  // as a request.
  set_error_handler(HandlerWithResponse([this](const httplib::Request&, httplib::Response& res) {
    if (res.status == 429) {
      ++refusals_->rate;
    } else if (res.status < 500) {
      ++refusals_->refused;
    }
    if (res.body.empty()) res.set_content(errorBody_, "text/plain");
    CloseAfterReply();
    return HandlerResponse::Unhandled;
  }));
  idle_ = limits_.workers;
  for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
  reaper_ = std::thread([this] { ReaperLoop(); });
}

BoundedServer::~BoundedServer() {
  Stop();
  Finish();
}

void BoundedServer::SetRequestCheck(HandlerWithResponse check) { check_ = std::move(check); }

Server::HandlerResponse BoundedServer::CheckFraming(const httplib::Request& req,
                                                    httplib::Response& res) const {
  HandlerResponse answer = HandlerResponse::Handled;
  // The library adds four of its own (REMOTE_ADDR, REMOTE_PORT, LOCAL_...).
  if (req.headers.size() > limits_.maxHeaders + 4) {
    Refuse(res, 431, "too many headers");
  } else if (t_looseHead || std::any_of(req.headers.begin(), req.headers.end(),
                                        [](const auto& h) { return !IsToken(h.first); })) {
    Refuse(res, 400, "a header line is NAME: VALUE, ended by CRLF");
  } else if (req.has_header("Transfer-Encoding")) {
    Refuse(res, 400, "no Transfer-Encoding: a body has a Content-Length");
  } else if (req.has_header("Content-Encoding") &&
             req.get_header_value("Content-Encoding") != "identity") {
    // A compressed body would be expanded in memory, without a bound.
    Refuse(res, 415, "no compressed bodies");
  } else if (req.get_header_value_count("Content-Length") > 1) {
    Refuse(res, 400, "one Content-Length");
  } else if (req.has_header("Content-Length") &&
             (req.get_header_value("Content-Length").empty() ||
              req.get_header_value("Content-Length").size() > 9 ||
              req.get_header_value("Content-Length").find_first_not_of("0123456789") !=
                  std::string::npos)) {
    Refuse(res, 400, "a Content-Length is digits");
  } else if (req.get_header_value<uint64_t>("Content-Length") > limits_.maxRequestBytes) {
    Refuse(res, 413, "too large");
  } else {
    answer = check_ ? check_(req, res) : HandlerResponse::Unhandled;
    if (answer == HandlerResponse::Unhandled) return answer;
  }
  CloseAfterReply();  // the body, if any, is still unread
  return answer;
}

void BoundedServer::Finish() {
  for (std::thread& t : workers_)
    if (t.joinable()) t.join();
  if (reaper_.joinable()) reaper_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto* list : {&waiting_, &serving_}) {
    for (Connection& c : *list) ::close(c.sock);
    list->clear();
  }
  shares_.clear();
}

bool BoundedServer::Bind(const std::string& host, int port) {
  host_ = host;
  if (!bind_to_port(host, port)) return false;
  // Port 0 takes a free one; it is kept, should the port be bound again.
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(svr_sock_, reinterpret_cast<sockaddr*>(&bound), &length);
  port_ = PortOf(bound);
  // The library listens with a backlog of 5; a burst of installers
  // connecting at once would see their SYNs dropped and retried a second
  // later.
  ::listen(svr_sock_, 1024);
  return true;
}

void BoundedServer::Serve() {
  // The loop is ours, not the library's: accept4 gives the peer's address
  // with the socket, and nothing is set on a socket that the streams do
  // not need (their waits are polls, not socket time-outs).
  while (!stopping_) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int sock =
        ::accept4(svr_sock_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (sock >= 0) {
      Admit(sock, peer);
      continue;
    }
    if (stopping_) break;
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
      case EPROTO:
      case EPERM:
        break;  // that connection only
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        // Connections wait in the backlog until descriptors or memory
        // are freed.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        break;
      default:
        // The listening socket itself is gone: the port is bound again.
        CloseListening();
        while (!stopping_ && !Bind(host_, port_))
          std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
  CloseListening();
}

// Under the lock Stop() shuts the socket down in: it never shuts down a
// number that has just been closed and given to another connection.
void BoundedServer::CloseListening() {
  std::lock_guard<std::mutex> lock(mutex_);
  const int listening = svr_sock_.exchange(INVALID_SOCKET);
  if (listening != INVALID_SOCKET) ::close(listening);
}

void BoundedServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    // Wakes the accept loop (accept fails at once on a socket shut down),
    // which closes it.
    if (svr_sock_ != INVALID_SOCKET) ::shutdown(svr_sock_, SHUT_RDWR);
  }
  ready_.notify_all();
  tick_.notify_all();
}

void BoundedServer::CloseAfterReply() { t_closeAfterReply = true; }

void BoundedServer::Admit(int sock, const sockaddr_storage& peer) {
  std::string address = NumericAddress(peer);
  const std::string key = AddressKey(address);
  const auto now = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto share = shares_.find(key);
    if (stopping_) {
      // closed below, not counted: nobody is turned away for a bound
    } else if (share != shares_.end() && share->second.open >= limits_.maxPerAddress) {
      ++refusals_->perAddress;
    } else if (waiting_.size() + serving_.size() - reclaiming_ < limits_.maxConnections ||
               ReclaimOldest(now.time_since_epoch().count(), false)) {
      waiting_.emplace_back(sock, std::move(address), PortOf(peer), now);
      ++shares_[key].open;
      ++admitted_;
      ready_.notify_one();
      return;
    } else {
      ++refusals_->atCap;
    }
  }
  ::close(sock);
}

bool BoundedServer::ReclaimOldest(int64_t notAfter, bool threadsOnly) {
  Slot oldest;
  bool found = false;
  for (auto* list : {&serving_, &waiting_}) {
    if (threadsOnly && list == &waiting_) break;
    for (Slot c = list->begin(); c != list->end(); ++c) {
      if (c->reclaimed || (c->inWorker && !c->waiting)) continue;
      const int64_t since = c->since;
      if (since <= notAfter && (!found || since < oldest->since)) {
        oldest = c;
        found = true;
      }
    }
  }
  if (!found) return false;
  ++refusals_->reclaimed;
  if (oldest->inWorker) {
    // Its thread, waiting for the client's bytes, wakes to an end of input
    // and ends the connection; a reply under way is still written.
    oldest->reclaimed = true;
    ++reclaiming_;
    ::shutdown(oldest->sock, SHUT_RD);
  } else {
    ::close(oldest->sock);
    Forget(oldest);
  }
  return true;
}

void BoundedServer::Forget(Slot slot) {
  auto share = shares_.find(slot->key);
  if (share != shares_.end()) {
    --share->second.open;
    if (slot->inWorker) --share->second.working;
    if (share->second.open == 0) shares_.erase(share);
  }
  if (slot->reclaimed) --reclaiming_;
  (slot->inWorker ? serving_ : waiting_).erase(slot);
}

BoundedServer::Slot BoundedServer::NextToServe() {
  Slot best = waiting_.end();
  size_t fewest = 0;
  for (Slot c = waiting_.begin(); c != waiting_.end(); ++c) {
    // Stopping: whatever waits is served, whoever sent it.
    if (stopping_) return c;
    const size_t working = shares_[c->key].working;
    if (MayServe(working) && (best == waiting_.end() || working < fewest)) {
      best = c;
      fewest = working;
      if (working == 0) break;
    }
  }
  return best;
}

void BoundedServer::Take(Slot slot) {
  slot->inWorker = true;
  ++shares_[slot->key].working;
  --idle_;
  serving_.splice(serving_.end(), waiting_, slot);
}

bool BoundedServer::MayServe(size_t working) const {
  return working < limits_.workersPerAddress || idle_ > limits_.workers / 2;
}

void BoundedServer::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot next;
  bool taken = false;
  for (;;) {
    if (!taken) {
      ready_.wait(lock, [&] {
        next = NextToServe();
        return next != waiting_.end() || stopping_;
      });
      if (next == waiting_.end()) return;
      Take(next);
    }
    lock.unlock();
    ServeConnection(*next);
    lock.lock();
    ++idle_;
    // Forgotten before its descriptor is closed: the accept loop may shut
    // down a connection it finds open, and the number could be reused.
    const int sock = next->sock;
    Forget(next);
    // When another waits, it is taken under the same lock.
    next = NextToServe();
    taken = next != waiting_.end();
    if (taken) Take(next);
    lock.unlock();
    ::close(sock);
    lock.lock();
  }
}

void BoundedServer::ReaperLoop() {
  const auto tick = std::chrono::milliseconds(100);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    tick_.wait_for(lock, tick, [&] { return stopping_.load(); });
    if (stopping_) return;
    const auto now = Clock::now();
    // Connections that waited for a thread past their request's deadline.
    size_t waiting = 0;
    for (Slot c = waiting_.begin(); c != waiting_.end();) {
      Slot here = c++;
      if (now - here->accepted >= limits_.requestDeadline) {
        ++refusals_->late;
        ::close(here->sock);
        Forget(here);
      } else if (MayServe(shares_[here->key].working)) {
        ++waiting;
      }
    }
    // Someone may be served and no thread is free: the threads that have
    // waited longest for their clients' bytes are taken back.
    const int64_t olderThan = (now - limits_.reclaimAfter).time_since_epoch().count();
    for (; waiting > reclaiming_ && idle_ == 0; --waiting)
      if (!ReclaimOldest(olderThan, true)) break;
  }
}

void BoundedServer::ServeConnection(Connection& connection) {
  BoundedStream stream(connection, limits_);
  // The first request's time runs from the accept: a connection that
  // waited for a thread has had that long already.
  stream.StartRequest(connection.accepted);
  bool lingering = false;
  for (size_t served = 0; served < limits_.keepAliveRequests && !stopping_; ++served) {
    if (served > 0) {
      if (!stream.WaitForRequest(limits_.keepAliveIdle)) break;
      stream.StartRequest(Clock::now());
    }
    t_closeAfterReply = false;
    bool peerClosed = false;
    const bool last = served + 1 == limits_.keepAliveRequests;
    // What the library wrote goes out whether or not it could answer (its
    // 400 to a malformed request, say).
    const bool processed = process_request(stream, last, peerClosed, nullptr);
    const bool answered = stream.Flush() && processed;
    if (stream.Late()) ++refusals_->late;
    lingering = t_closeAfterReply || stream.OverBudget();
    if (!answered || peerClosed || last || lingering) break;
  }
  if (lingering) {
    connection.since = 0;
    connection.waiting = true;
    LingeringClose(connection.sock);
  } else {
    ::shutdown(connection.sock, SHUT_RDWR);
  }
}

}  // namespace reports
