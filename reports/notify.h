// Notices to the maker: a group that first appears, a fixed group that comes
// back. The writer queues them in the store, in the transaction of the
// report that raised them; a thread of their own sends them, so that a
// report's "OK" never waits for a mail transfer agent or a web hook, and a
// restart finds what is still to send. A failed send is tried again later,
// waiting longer each time.
//
// Bounded against a stranger who makes groups at will (any new address is
// one): at most one notice for a group an hour, at most `perHour` notices an
// hour in all; new groups past that are told of in one digest an hour.
// A regression is never folded: it waits for room.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reports/options.h"
#include "reports/store.h"
#include "reports/symbols.h"

namespace reports {

// What to do with a due notice now.
enum class NoticeStep { kSend, kHold, kFold };

// The steps for `due` (oldest first), given what went out in the last hour.
std::vector<NoticeStep> PlanNotices(const std::vector<Notice>& due, const RecentNotices& recent,
                                    int perHour);

struct NoticeMessage {
  std::string subject;  // printable ASCII, one line
  std::string text;     // lines of printable ASCII
  std::string json;     // the web hook's body
};

// What the page says of the group, for a notice of `kind` raised by a
// report of `build`. Every value from a report is escaped for each form.
NoticeMessage ComposeNotice(NoticeKind kind, const Group& group, unsigned build,
                            const std::map<unsigned, SymbolMap>& maps, const std::string& pageUrl,
                            int64_t nowMs);
// A digest of `count` new groups, listing `groups` (the first of them).
NoticeMessage ComposeDigest(int64_t count, const std::vector<Group>& groups,
                            const std::string& pageUrl, int64_t sinceMs);
// The mail as sendmail -t reads it: headers, a blank line, the text.
std::string MailText(const std::string& to, const NoticeMessage& message);

// Runs `sendmail -t` with `mail` on its input; true when it exits 0 within
// its time. `error` says why not.
bool SendMail(const std::string& sendmail, const std::string& mail, std::string* error);
bool PostJson(const HttpUrl& url, const std::string& json, std::string* error);

class Notifier {
 public:
  Notifier(ReportStore& store, const std::map<unsigned, SymbolMap>& maps,
           const NoticeOptions& options)
      : store_(store), maps_(maps), options_(options) {}
  ~Notifier() { Stop(); }

  void Start();
  // Called by the store after a commit that queued a notice.
  void Wake();
  void Stop();

 private:
  void Loop();
  // Sends what is due; when the next is due (0: nothing waiting).
  int64_t Pass();
  void Send(const Notice& notice, int64_t nowMs);

  ReportStore& store_;
  const std::map<unsigned, SymbolMap>& maps_;
  NoticeOptions options_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false, stopping_ = false;
};

}  // namespace reports
