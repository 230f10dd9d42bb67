#include "reports/notify.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>

#include "reports/group_state.h"
#include "reports/text.h"

extern char** environ;

namespace reports {
namespace {

using Clock = std::chrono::steady_clock;

const int64_t kHourMs = 3600000;
const size_t kDueAtOnce = 100;
const size_t kDigestLists = 20;
// A mail line is at most 998 characters; a function's name can be long.
const size_t kMaxValue = 400;
const auto kSendmailTime = std::chrono::seconds(30);
const size_t kMaxReply = 64 * 1024;

// Printable ASCII as it is, any other byte as \xNN: a header or a line of a
// mail can never be ended or forged by what a report carries. At most
// kMaxValue characters, so that a line stays within a mail's bound.
std::string Plain(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  size_t used = 0;
  for (; used < text.size() && out.size() < kMaxValue; ++used) {
    const char c = text[used];
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) {
      out += "\\x";
      out.push_back(kHex[u >> 4]);
      out.push_back(kHex[u & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  if (used < text.size()) out += "...";
  return out;
}

std::string FunctionName(const AddressName& name) {
  if (name.function.empty()) return "";
  char offset[16];
  std::snprintf(offset, sizeof offset, "+0x%X", static_cast<unsigned>(name.offset));
  return name.function + offset;
}

std::string Nullable(int value) { return value < 0 ? "null" : std::to_string(value); }

// Waits for `pid` until `deadline`, then kills it; its exit status, or -1.
int Reap(pid_t pid, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(20000);
  }
}

}  // namespace

std::vector<NoticeStep> PlanNotices(const std::vector<Notice>& due, const RecentNotices& recent,
                                    int perHour) {
  std::set<int64_t> groups(recent.groups.begin(), recent.groups.end());
  int64_t room = perHour - recent.sent;
  bool digestRoom = !recent.digest;
  std::vector<NoticeStep> steps;
  for (const Notice& n : due) {
    NoticeStep step = NoticeStep::kHold;
    if (n.kind == NoticeKind::kDigest) {
      if (digestRoom) step = NoticeStep::kSend;
      digestRoom = false;
    } else if (groups.count(n.groupId)) {
      step = NoticeStep::kHold;  // one notice a group an hour
    } else if (room > 0) {
      step = NoticeStep::kSend;
      --room;
      groups.insert(n.groupId);
    } else if (n.kind == NoticeKind::kNew) {
      step = NoticeStep::kFold;
    }
    steps.push_back(step);
  }
  return steps;
}

NoticeMessage ComposeNotice(NoticeKind kind, const Group& g, unsigned build,
                            const std::map<unsigned, SymbolMap>& maps, const std::string& pageUrl,
                            int64_t nowMs) {
  const unsigned named = maps.count(build) ? build : NamingBuild(g, maps);
  const AddressName name = NameAddress(maps, named, g.address);
  const std::string function = FunctionName(name);
  const std::string state = StateText(g, nowMs);
  const std::string link = pageUrl + GroupPath(g);
  const bool regressed = kind == NoticeKind::kRegressed;
  NoticeMessage m;
  m.subject = std::string("[quil-reports] ") + (regressed ? "Regressed: " : "New crash: ") +
              Plain(g.exception) + " at " + Hex8(g.address) +
              (function.empty() ? "" : " (" + Plain(function) + ")") + ", build " +
              BuildText(build);
  const std::pair<const char*, std::string> facts[] = {
      {"Exception", Plain(g.exception)},
      {"Address", Hex8(g.address)},
      {"Function", function.empty() ? "-" : Plain(function)},
      {"Named by", std::string(RuleLabel(name.rule)) + ": " +
                       Plain(RuleText(name.rule, named, g.address, maps))},
      {"Build", BuildText(build) + " (first seen in build " + BuildText(g.firstBuild) +
                    ", latest " + BuildText(g.build) + ")"},
      {"State", state},
      {"Count", std::to_string(g.count) + " deliveries"},
      {"First seen", PageTime(g.firstMs)},
      {"Last seen", PageTime(g.lastMs)},
      {"Page", link},
  };
  m.text = regressed ? "A group marked fixed has come back: a report from build " +
                           BuildText(build) + ", fixed in build " +
                           BuildText(static_cast<unsigned>(std::max(g.fixedBuild, 0))) + ".\n\n"
                     : std::string("A new group of crash reports.\n\n");
  for (const auto& [label, value] : facts) m.text += std::string(label) + ": " + value + "\n";
  m.json = std::string("{\"event\":") + (regressed ? "\"regressed\"" : "\"new\"") +
           ",\"text\":" + Json(m.subject + "\n" + m.text) + ",\"exception\":" + Json(g.exception) +
           ",\"address\":\"" + Hex8(g.address) + "\",\"function\":" +
           (function.empty() ? "null" : Json(function)) + ",\"named_by\":" +
           Json(RuleLabel(name.rule)) + ",\"rule\":" +
           Json(RuleText(name.rule, named, g.address, maps)) + ",\"build\":" +
           std::to_string(build) + ",\"first_build\":" + std::to_string(g.firstBuild) +
           ",\"state\":" + Json(StateWord(StateOf(g, nowMs))) + ",\"fixed_build\":" +
           Nullable(g.fixedBuild) + ",\"regressed_build\":" + Nullable(g.regressedBuild) +
           ",\"count\":" + std::to_string(g.count) + ",\"first_seen\":" + Json(IsoTime(g.firstMs)) +
           ",\"link\":" + Json(link) + "}\n";
  return m;
}

NoticeMessage ComposeDigest(int64_t count, const std::vector<Group>& groups,
                            const std::string& pageUrl, int64_t sinceMs) {
  NoticeMessage m;
  m.subject = "[quil-reports] " + std::to_string(count) + " more new groups";
  m.text = std::to_string(count) + " more new groups came since " + PageTime(sinceMs) +
           ", past the notices an hour allows. The page lists them all: " + pageUrl + "/\n\n";
  std::string list;
  for (const Group& g : groups) {
    m.text += Plain(g.exception) + " at " + Hex8(g.address) + ", build " + BuildText(g.build) +
              ": " + pageUrl + GroupPath(g) + "\n";
    list += std::string(list.empty() ? "" : ",") + "{\"exception\":" + Json(g.exception) +
            ",\"address\":\"" + Hex8(g.address) + "\",\"link\":" + Json(pageUrl + GroupPath(g)) +
            "}";
  }
  if (static_cast<int64_t>(groups.size()) < count) m.text += "...\n";
  m.json = "{\"event\":\"digest\",\"count\":" + std::to_string(count) + ",\"text\":" +
           Json(m.subject + "\n" + m.text) + ",\"groups\":[" + list + "],\"link\":" +
           Json(pageUrl + "/") + "}\n";
  return m;
}

std::string MailText(const std::string& to, const NoticeMessage& message) {
  return "To: " + to + "\nSubject: " + message.subject +
         "\nMIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n"
         "Content-Transfer-Encoding: 7bit\nAuto-Submitted: auto-generated\n\n" +
         message.text;
}

bool SendMail(const std::string& sendmail, const std::string& mail, std::string* error) {
  int input[2], output[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    *error = "no pipe";
    return false;
  }
  if (pipe2(output, O_CLOEXEC) != 0) {
    close(input[0]);
    close(input[1]);
    *error = "no pipe";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], 1);
  posix_spawn_file_actions_adddup2(&actions, output[1], 2);
  // Nothing else of the service's: a listening socket held by a hung
  // sendmail would keep a restarted service from its port.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  std::string program = sendmail, flag = "-t";
  char* argv[] = {program.data(), flag.data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, sendmail.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  close(output[1]);
  if (spawned != 0) {
    close(input[1]);
    close(output[0]);
    *error = sendmail + ": " + std::strerror(spawned);
    return false;
  }
  const auto deadline = Clock::now() + kSendmailTime;
  auto left = [&] {
    return static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count()));
  };
  // The mail, then what it says back (its first 512 bytes), within the time.
  // A sendmail that ends before reading it all must fail the notice, not
  // end the service: SIGPIPE is held back in this thread while it writes,
  // and taken off again, whatever the process does with it.
  sigset_t pipeSignal, before;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &before);
  size_t written = 0;
  while (written < mail.size()) {
    pollfd fd{input[1], POLLOUT, 0};
    if (poll(&fd, 1, left()) <= 0) break;
    const ssize_t n = write(input[1], mail.data() + written, mail.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  close(input[1]);
  const timespec now{0, 0};
  while (sigtimedwait(&pipeSignal, nullptr, &now) == SIGPIPE) {
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  std::string said;
  char buffer[512];
  for (;;) {
    pollfd fd{output[0], POLLIN, 0};
    if (poll(&fd, 1, left()) <= 0) break;
    const ssize_t n = read(output[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (said.size() < sizeof buffer)
      said.append(buffer, std::min(static_cast<size_t>(n), sizeof buffer - said.size()));
  }
  close(output[0]);
  const int status = Reap(pid, deadline);
  if (written == mail.size() && status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
    return true;
  *error = sendmail + " -t: " +
           (status < 0 ? std::string("did not finish in 30 s")
                       : WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                           : std::string("killed by a signal")) +
           (said.empty() ? "" : ": " + Plain(said));
  return false;
}

bool PostJson(const HttpUrl& url, const std::string& json, std::string* error) {
  httplib::Client client(url.host, url.port);
  client.set_connection_timeout(5);
  client.set_read_timeout(10);
  client.set_write_timeout(10);
  httplib::Request request;
  request.method = "POST";
  request.path = url.path;
  request.body = json;
  request.set_header("Content-Type", "application/json");
  // The reply is not read past a bound: nothing of it is needed.
  size_t taken = 0;
  request.content_receiver = [&taken](const char*, size_t n, uint64_t, uint64_t) {
    taken += n;
    return taken <= kMaxReply;
  };
  httplib::Result result = client.send(request);
  if (result && result->status >= 200 && result->status < 300) return true;
  *error = "POST http://" + url.host + ":" + std::to_string(url.port) + url.path + ": " +
           (result ? "status " + std::to_string(result->status)
                   : std::string(httplib::to_string(result.error())));
  return false;
}

void Notifier::Start() { thread_ = std::thread([this] { Loop(); }); }

void Notifier::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  wake_.notify_one();
}

void Notifier::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Notifier::Loop() {
  for (;;) {
    const int64_t next = Pass();
    std::unique_lock<std::mutex> lock(mutex_);
    const int64_t wait = next == 0 ? 600000 : std::clamp<int64_t>(next - store_.Now(), 0, 600000);
    wake_.wait_for(lock, std::chrono::milliseconds(wait), [&] { return woken_ || stopping_; });
    if (stopping_) return;
    woken_ = false;
  }
}

int64_t Notifier::Pass() {
  const int64_t now = store_.Now();
  int64_t next = 0;
  const std::vector<Notice> due = store_.DueNotices(now, kDueAtOnce, &next);
  const std::vector<NoticeStep> steps =
      PlanNotices(due, store_.RecentlySent(now - kHourMs), options_.perHour);
  std::vector<int64_t> fold;
  bool held = false;
  for (size_t i = 0; i < due.size(); ++i) {
    if (steps[i] == NoticeStep::kSend) Send(due[i], now);
    if (steps[i] == NoticeStep::kFold) fold.push_back(due[i].id);
    held = held || steps[i] == NoticeStep::kHold;
  }
  // The digest they went into is due at once.
  if (!fold.empty() && store_.FoldNotices(fold)) return now;
  // What waits for the hour to pass is looked at again each minute, even
  // when more are due than one pass takes: those are held as well.
  if (held) next = next <= now ? now + 60000 : std::min(next, now + 60000);
  return next;
}

void Notifier::Send(const Notice& notice, int64_t now) {
  NoticeMessage message;
  if (notice.kind == NoticeKind::kDigest) {
    message = ComposeDigest(notice.folded, store_.FoldedGroups(notice.id, kDigestLists),
                            options_.pageUrl, notice.createdMs);
  } else {
    Group group;
    if (!store_.GroupById(notice.groupId, &group)) return store_.NoticeSent(notice.id, notice.done, now);
    message = ComposeNotice(notice.kind, group, notice.build, maps_, options_.pageUrl, now);
  }
  int done = notice.done;
  std::string errors, why;
  if (!options_.mail.empty() && !(done & 1)) {
    if (SendMail(options_.sendmail, MailText(options_.mail, message), &why)) done |= 1;
    else errors += why;
  }
  if (!options_.url.empty() && !(done & 2)) {
    if (PostJson(options_.post, message.json, &why)) done |= 2;
    else errors += (errors.empty() ? "" : "; ") + why;
  }
  if (errors.empty()) return store_.NoticeSent(notice.id, done, now);
  // Each failure waits twice as long as the one before, up to an hour.
  const int64_t wait = std::min<int64_t>(
      kHourMs, int64_t{options_.retrySeconds} * 1000 << std::min(notice.failures, 10));
  store_.NoticeFailed(notice.id, done, errors, now, now + wait);
}

}  // namespace reports
