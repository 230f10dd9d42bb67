// An HTTP listener that bounds what a stranger can make it hold. The
// library (cpp-httplib) parses requests and writes replies; this class
// decides which connections are served, by which thread, and what the
// library may read from each:
//
// - connections: at most `maxConnections` open at once (those waiting for a
//   thread included) and `maxPerAddress` from one address (an IPv6 address
//   counts by its /64, which one host usually holds whole). A connection
//   beyond the per-address bound is closed as it is accepted; one beyond
//   the overall bound takes the place of the oldest unfinished connection
//   (waiting for a thread, or whose thread waits for its bytes);
// - threads: `workers` serve requests, at most `workersPerAddress` of them
//   for one address (more only while over half of them are free). A waiting
//   connection goes to a free thread, the one whose address holds the fewest
//   threads first; when none is free, the
//   thread that has waited longest (over `reclaimAfter`) for its client's
//   bytes is taken back for it. Slow and idle clients therefore hold
//   threads only while nobody else needs them;
// - each request: its request line, headers and body together at most
//   `maxRequestBytes`, read within `requestDeadline` of its start (a client
//   that sends one byte a second is cut off there) and with no read waiting
//   longer than `readTimeout`; each head line ended by CRLF, at most
//   `maxHeaders` headers, no Transfer-Encoding, no Content-Encoding, a
//   Content-Length of digits only;
// - keep-alive: at most `keepAliveRequests` requests a connection, the next
//   one within `keepAliveIdle`; any error reply ends the connection.
//
// The library's own read loop is used unchanged: process_request() reads
// through a stream of ours, which enforces the byte budget and the
// deadlines, and tells this class when its thread waits for the client.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace reports {

struct Limits {
  size_t workers = 64;
  size_t workersPerAddress = 8;
  size_t maxConnections = 256;
  size_t maxPerAddress = 64;
  size_t maxRequestBytes = 16 * 1024;
  size_t maxHeaders = 64;
  std::chrono::milliseconds readTimeout{5000};
  std::chrono::milliseconds requestDeadline{10000};
  std::chrono::milliseconds writeTimeout{5000};
  std::chrono::milliseconds keepAliveIdle{5000};
  std::chrono::milliseconds reclaimAfter{250};
  size_t keepAliveRequests = 1000;
};

// What a listener turned away since start, by the bound that did it; the
// page and the log show them, so that a maker can tell an attack from a
// quiet day.
struct Refusals {
  std::atomic<uint64_t> perAddress{0};  // connections closed: their address had its share open
  std::atomic<uint64_t> reclaimed{0};   // unfinished connections closed for another's sake
  std::atomic<uint64_t> atCap{0};       // closed at the cap: nothing unfinished to take back
  std::atomic<uint64_t> late{0};        // requests not sent within the deadline
  std::atomic<uint64_t> refused{0};     // other 4xx: not a report, malformed, foreign Host...
  std::atomic<uint64_t> rate{0};        // 429: over the per-address rate (reports or logins)
  std::atomic<uint64_t> diskFloor{0};   // 503: the store's disk below its free-space floor
  std::atomic<uint64_t> storeFailed{0}; // 503: the commit failed (store or disk full)
  // Each bound's name, as the page and the log say it, with its count.
  std::vector<std::pair<std::string, uint64_t>> List() const;
  // "name N, name N, ..." for the log.
  std::string Text() const;
};

// The address a client's share is counted by: an IPv4 address as it is
// (also when it comes IPv4-mapped), an IPv6 address's /64 prefix.
std::string AddressKey(const std::string& numericAddress);

class BoundedServer : public httplib::Server {
 public:
  BoundedServer(const Limits& limits, Refusals* refusals);
  ~BoundedServer() override;

  // Binds HOST:PORT with SO_REUSEADDR (a restart finds its port free) but
  // not SO_REUSEPORT (a second service cannot share it) and a long backlog.
  bool Bind(const std::string& host, int port);
  int Port() const { return port_; }  // the one bound (port 0 takes a free one)
  // Serves until Stop(). Should the listening socket fail (an accept error
  // that is not about one connection or a passing shortage), the port is
  // bound again.
  void Serve();
  // Stops accepting; the requests being served are answered.
  void Stop();
  // Waits for the threads that serve requests to end (after Stop()).
  void Finish();

  // What runs before any route, once the framing checks have passed: it
  // may answer (Handled) before the body is read.
  void SetRequestCheck(HandlerWithResponse check);

  // Handlers call this when the connection must end after their reply: the
  // request's body was left unread, so the next bytes are not a request.
  static void CloseAfterReply();
  // The body of an error reply that has none.
  void SetErrorBody(std::string text) { errorBody_ = std::move(text); }

  const Refusals& Counts() const { return *refusals_; }
  // Connections admitted since start.
  uint64_t Admitted() const { return admitted_; }

 private:
  struct Connection {
    Connection(int s, std::string a, int p, std::chrono::steady_clock::time_point at)
        : sock(s), address(std::move(a)), port(p), key(AddressKey(address)), accepted(at),
          since(at.time_since_epoch().count()) {}
    int sock;
    std::string address;  // the peer's, numeric, and its port: as accepted
    int port;
    std::string key;
    std::chrono::steady_clock::time_point accepted;
    bool inWorker = false;
    bool reclaimed = false;
    // Kept by the serving thread's stream: whether it waits for the
    // client's bytes now, and since when its request (or the wait for the
    // next one) began, in steady_clock ticks.
    std::atomic<bool> waiting{false};
    std::atomic<int64_t> since;
  };
  using Slot = std::list<Connection>::iterator;
  struct Share {
    size_t open = 0, working = 0;
  };
  friend class BoundedStream;

  // Called by the accept loop for each accepted socket: admits or closes it.
  void Admit(int sock, const sockaddr_storage& peer);
  void CloseListening();
  void WorkerLoop();
  void ReaperLoop();
  void ServeConnection(Connection& connection);
  // The waiting connection to serve next, or waiting_.end(): the first of
  // those whose address holds the fewest threads.
  Slot NextToServe();
  // Makes a waiting connection the calling thread's.
  void Take(Slot slot);
  // Whether an address that holds `working` threads may have one more: below
  // its share, or beyond it while more than half of the threads are free,
  // which keeps them for the addresses below their shares.
  bool MayServe(size_t working) const;
  // Takes back the oldest unfinished connection whose request (or wait for
  // one) began no later than `notAfter`, of those served by a thread only
  // or of all; false when there is none. Under mutex_.
  bool ReclaimOldest(int64_t notAfter, bool threadsOnly);
  void Forget(Slot slot);
  httplib::Server::HandlerResponse CheckFraming(const httplib::Request& req,
                                                httplib::Response& res) const;

  Limits limits_;
  Refusals* refusals_;
  HandlerWithResponse check_;
  std::string errorBody_ = "refused\n";
  std::string host_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> admitted_{0};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable tick_;
  // The open connections: those waiting for a thread, in the order
  // accepted, and those being served (a thread's taken connection moves
  // from one to the other; its Slot stays valid).
  std::list<Connection> waiting_, serving_;
  size_t reclaiming_ = 0;  // of serving_: reclaimed, their threads ending them
  size_t idle_ = 0;             // workers without a connection
  std::map<std::string, Share> shares_;
  std::vector<std::thread> workers_;
  std::thread reaper_;
};

}  // namespace reports
