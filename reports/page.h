// The maker's page: the groups of reports with their chart, each group's
// latest reports, the unparsed deliveries, and the export. Server-rendered
// HTML, no script, nothing from other hosts. With a token, every page and
// export asks for it: an "Authorization: Bearer TOKEN" header, or the
// cookie that the login form sets, which carries a value derived from the
// token, not the token. Without one, it answers only to its loopback names:
// a web page the maker opens cannot rebind a name of its own to it.
#pragma once

#include <map>
#include <string>

#include "reports/bounded_server.h"
#include "reports/bounds.h"
#include "reports/store.h"
#include "reports/symbols.h"

namespace reports {

struct PageContext {
  ReportStore* store = nullptr;
  const std::map<unsigned, SymbolMap>* maps = nullptr;
  std::string token;  // empty: no token asked (a loopback listener only)
  std::string host;   // the page's own numeric address, a name it answers to
  bool overTls = false;  // reached over HTTPS (a TLS proxy in front): Secure cookie
  const Refusals* intake = nullptr;  // what the intake refused, shown to the maker
  DiskFloor* floor = nullptr;
  RateLimiter* logins = nullptr;  // failed token attempts from one address
  const Refusals* page = nullptr;  // what the page itself refused (AddPageRoutes sets it)
};

Limits PageLimits();
void AddPageRoutes(BoundedServer& server, const PageContext& context);

}  // namespace reports
