// An HTTP listener that bounds what a stranger can make it hold. The
// library (cpp-httplib) parses requests and writes replies; this class
// decides which connections are served, by which thread, and what the
// library may read from each:
//
// - connections: at most `maxConnections` open at once (those waiting for a
//   thread included) and `maxPerAddress` from one address; others are
//   closed as soon as they are accepted;
// - threads: `workers` serve requests; a connection waits for one in a queue;
// - each request: its request line, headers and body together at most
//   `maxRequestBytes`, read within `requestDeadline` of its start (a client
//   that sends one byte a second is cut off there) and with no read waiting
//   longer than `readTimeout`;
// - keep-alive: at most `keepAliveRequests` requests a connection, the next
//   one within `keepAliveIdle`.
//
// The library's own read loop is used unchanged: process_request() reads
// through BoundedStream, which enforces the byte budget and the deadlines.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reports {

struct Limits {
  size_t workers = 64;
  size_t maxConnections = 256;
  size_t maxPerAddress = 64;
  size_t maxRequestBytes = 16 * 1024;
  std::chrono::milliseconds readTimeout{5000};
  std::chrono::milliseconds requestDeadline{10000};
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds keepAliveIdle{5000};
  size_t keepAliveRequests = 1000;
};

class BoundedServer : public httplib::Server {
 public:
  explicit BoundedServer(const Limits& limits);
  ~BoundedServer() override;

  // Binds HOST:PORT with SO_REUSEADDR (a restart finds its port free) but
  // not SO_REUSEPORT (a second service cannot share it) and a long backlog.
  bool Bind(const std::string& host, int port);
  // Serves until Stop(). Should the library give up its listening socket
  // (an accept error it does not retry), the port is bound again.
  void Serve();
  // Stops accepting; the requests being served are answered.
  void Stop();
  // Waits for the threads that serve requests to end (after Stop()).
  void Finish();

  // Handlers call this when the connection must end after their reply: the
  // request's body was left unread, so the next bytes are not a request.
  static void CloseAfterReply();

  uint64_t RefusedConnections() const { return refused_; }

 private:
  struct Waiting {
    int sock = -1;
    std::string address;
    std::chrono::steady_clock::time_point accepted;
  };
  // Called by the library's accept loop, on its thread, for each accepted
  // socket (the task queue runs it at once): admits or closes it.
  bool process_and_close_socket(socket_t sock) override;
  void WorkerLoop();
  void ServeConnection(const Waiting& connection);
  void Release(const std::string& address);

  Limits limits_;
  std::string host_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> refused_{0};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Waiting> waiting_;
  size_t open_ = 0;
  std::map<std::string, size_t> perAddress_;
  std::vector<std::thread> workers_;
};

}  // namespace reports
