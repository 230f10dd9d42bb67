#include "reports/bounded_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace reports {
namespace {

using Clock = std::chrono::steady_clock;

thread_local bool t_closeAfterReply = false;

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

// A task queue that runs each task at once, on the accept loop's thread:
// the task only admits or closes a socket, and the threads that serve
// connections are the server's own.
class RunAtOnce : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override { fn(); }
  void shutdown() override {}
};

// The library reads and writes a connection through this: reads come from a
// buffer refilled from the socket, each request may take `maxRequestBytes`
// in all before the deadline, and no wait outlasts the read or write timeout.
class BoundedStream : public httplib::Stream {
 public:
  BoundedStream(int sock, const Limits& limits) : sock_(sock), limits_(limits) {}

  void StartRequest(Clock::time_point deadline) {
    deadline_ = deadline;
    taken_ = 0;
    overBudget_ = false;
  }
  bool OverBudget() const { return overBudget_; }
  // True once the next request's first byte is here, within `wait`.
  bool WaitForRequest(std::chrono::milliseconds wait) {
    return begin_ < end_ || PollFor(sock_, POLLIN, wait);
  }

  bool is_readable() const override {
    return begin_ < end_ || PollFor(sock_, POLLIN, ReadWait());
  }
  bool is_writable() const override { return PollFor(sock_, POLLOUT, limits_.writeTimeout); }

  ssize_t read(char* ptr, size_t size) override {
    if (taken_ >= limits_.maxRequestBytes) {
      overBudget_ = true;
      return -1;
    }
    if (begin_ == end_) {
      if (!PollFor(sock_, POLLIN, ReadWait())) return -1;
      ssize_t got;
      do {
        got = ::recv(sock_, buffer_, sizeof buffer_, 0);
      } while (got < 0 && errno == EINTR);
      if (got <= 0) return got;
      begin_ = 0;
      end_ = static_cast<size_t>(got);
    }
    size_t n = std::min({size, end_ - begin_, limits_.maxRequestBytes - taken_});
    std::memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    taken_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!PollFor(sock_, POLLOUT, limits_.writeTimeout)) return -1;
    ssize_t sent;
    do {
      sent = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    Describe(getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    Describe(getsockname, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  // One end's address, from getpeername or getsockname.
  void Describe(int (*get)(int, sockaddr*, socklen_t*), std::string& ip, int& port) const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (get(sock_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      ip = NumericAddress(address);
      port = PortOf(address);
    }
  }

  std::chrono::milliseconds ReadWait() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
    return std::min(left, limits_.readTimeout);
  }

  int sock_;
  const Limits& limits_;
  Clock::time_point deadline_;
  size_t taken_ = 0;
  bool overBudget_ = false;
  char buffer_[4096];
  size_t begin_ = 0, end_ = 0;
};

// Ends a connection whose peer may still be sending (a body left unread):
// closing at once would reset it, and the peer could lose the reply. Stop
// writing, read and drop what comes for a moment, then close.
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
  ::close(sock);
}

}  // namespace

BoundedServer::BoundedServer(const Limits& limits) : limits_(limits) {
  new_task_queue = [] { return new RunAtOnce; };
  set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  set_payload_max_length(limits.maxRequestBytes);
  // What the replies' Keep-Alive header announces.
  set_keep_alive_max_count(limits.keepAliveRequests);
  set_keep_alive_timeout(
      std::chrono::duration_cast<std::chrono::seconds>(limits.keepAliveIdle).count());
  for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

BoundedServer::~BoundedServer() {
  Stop();
  Finish();
}

void BoundedServer::Finish() {
  for (std::thread& t : workers_)
    if (t.joinable()) t.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Waiting& w : waiting_) ::close(w.sock);
  waiting_.clear();
}

bool BoundedServer::Bind(const std::string& host, int port) {
  host_ = host;
  port_ = port;
  if (!bind_to_port(host, port)) return false;
  // The library listens with a backlog of 5; a burst of installers
  // connecting at once would see their SYNs dropped and retried a second
  // later.
  ::listen(svr_sock_, 1024);
  return true;
}

void BoundedServer::Serve() {
  while (!stopping_) {
    if (listen_after_bind() || stopping_) return;
    // The accept loop ended on an error it does not retry (out of memory or
    // buffers, say) and closed the socket: take the port again.
    while (!stopping_ && !Bind(host_, port_)) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

void BoundedServer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  stop();
}

void BoundedServer::CloseAfterReply() { t_closeAfterReply = true; }

bool BoundedServer::process_and_close_socket(socket_t sock) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  std::string address =
      getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &length) == 0 ? NumericAddress(peer)
                                                                          : "";
  // Replies go out in more than one write; without this, each waits for
  // the peer's delayed acknowledgement of the one before.
  int yes = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& fromAddress = perAddress_[address];
    if (!stopping_ && open_ < limits_.maxConnections && fromAddress < limits_.maxPerAddress) {
      ++open_;
      ++fromAddress;
      waiting_.push_back(Waiting{sock, address, Clock::now()});
      ready_.notify_one();
      return true;
    }
    if (fromAddress == 0) perAddress_.erase(address);
  }
  ++refused_;
  ::close(sock);
  return false;
}

void BoundedServer::WorkerLoop() {
  for (;;) {
    Waiting connection;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [&] { return stopping_ || !waiting_.empty(); });
      if (waiting_.empty()) return;
      connection = waiting_.front();
      waiting_.pop_front();
    }
    ServeConnection(connection);
    Release(connection.address);
  }
}

void BoundedServer::ServeConnection(const Waiting& connection) {
  BoundedStream stream(connection.sock, limits_);
  // The first request's time runs from the accept: a connection that
  // waited for a thread has had that long already.
  stream.StartRequest(connection.accepted + limits_.requestDeadline);
  bool lingering = false;
  for (size_t served = 0; served < limits_.keepAliveRequests && !stopping_; ++served) {
    if (served > 0) {
      if (!stream.WaitForRequest(limits_.keepAliveIdle)) break;
      stream.StartRequest(Clock::now() + limits_.requestDeadline);
    }
    t_closeAfterReply = false;
    bool peerClosed = false;
    const bool last = served + 1 == limits_.keepAliveRequests;
    const bool answered = process_request(stream, last, peerClosed, nullptr);
    lingering = t_closeAfterReply || stream.OverBudget();
    if (!answered || peerClosed || last || lingering) break;
  }
  if (lingering) {
    LingeringClose(connection.sock);
  } else {
    ::shutdown(connection.sock, SHUT_RDWR);
    ::close(connection.sock);
  }
}

void BoundedServer::Release(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  --open_;
  auto found = perAddress_.find(address);
  if (found != perAddress_.end() && --found->second == 0) perAddress_.erase(found);
}

}  // namespace reports
