// The public intake: POST /sreport.asp, the one request Quil.exe makes.
#pragma once

#include "reports/bounded_server.h"
#include "reports/store.h"

namespace reports {

// The largest body taken; Quil.exe's is at most 98 bytes.
constexpr size_t kMaxBody = 4096;
// Headers a request may carry; Quil.exe sends a handful.
constexpr size_t kMaxHeaders = 64;

// What the intake allows a stranger: everything it holds is bounded.
Limits IntakeLimits();

// Routes the intake's requests on `server`: a report is answered "OK" once
// `store` holds it durably, and anything else gets a 4xx and stores nothing.
void AddIntakeRoutes(BoundedServer& server, ReportStore& store);

int64_t NowMs();

}  // namespace reports
