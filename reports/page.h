// The maker's page: the groups of reports with their chart, each group's
// latest reports, the unparsed deliveries, and the export. Server-rendered
// HTML, no script, nothing from other hosts. With a token, every page and
// export asks for it: an "Authorization: Bearer TOKEN" header, or the
// cookie that the login form sets.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "reports/bounded_server.h"
#include "reports/group_actions.h"
#include "reports/store.h"
#include "reports/symbols.h"

namespace reports {

struct PageContext {
  ReportStore* store = nullptr;
  const std::map<unsigned, SymbolMap>* maps = nullptr;
  std::string token;  // empty: no token asked (a loopback listener only)
  std::shared_ptr<const FormGuard> forms = std::make_shared<FormGuard>();
  std::string notices;  // where notices go, for the page; empty: nowhere
  int keepDays = 90;
};

Limits PageLimits();
void AddPageRoutes(BoundedServer& server, const PageContext& context);

// The value of the cookie `name` the request carries; empty when none.
std::string CookieValue(const httplib::Request& req, const std::string& name);

}  // namespace reports
