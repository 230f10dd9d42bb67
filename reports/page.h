// The maker's page: the groups of reports with their chart, each group's
// latest reports, the unparsed deliveries, and the export. Server-rendered
// HTML, no script, nothing from other hosts. With a token, every page and
// export asks for it: an "Authorization: Bearer TOKEN" header, or the
// cookie that the login form sets.
#pragma once

#include <map>
#include <string>

#include "reports/bounded_server.h"
#include "reports/store.h"
#include "reports/symbols.h"

namespace reports {

struct PageContext {
  ReportStore* store = nullptr;
  const std::map<unsigned, SymbolMap>* maps = nullptr;
  std::string token;  // empty: no token asked (a loopback listener only)
};

Limits PageLimits();
void AddPageRoutes(BoundedServer& server, const PageContext& context);

}  // namespace reports
