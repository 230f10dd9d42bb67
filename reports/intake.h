// The public intake: POST /sreport.asp, the one request Quil.exe makes.
#pragma once

#include "reports/bounded_server.h"
#include "reports/bounds.h"
#include "reports/store.h"

namespace reports {

// The largest body taken; Quil.exe's is at most 98 bytes.
constexpr size_t kMaxBody = 4096;
// Reports a minute from one address, unless the command line says more:
// an installer sends one every ten minutes, an office behind one address
// a handful.
constexpr double kAddressRate = 60;

// What the intake allows a stranger: everything it holds is bounded.
Limits IntakeLimits();

struct IntakeBounds {
  RateLimiter* rate = nullptr;  // reports a minute from one address
  DiskFloor* floor = nullptr;   // free space kept on the store's disk
  Refusals* refusals = nullptr; // the server's, with the intake's 503s
};

// Routes the intake's requests on `server`: a report is answered "OK" once
// `store` holds it durably, and anything else gets a 4xx (429 past the
// rate, 503 below the disk floor or when the commit fails) and stores
// nothing.
void AddIntakeRoutes(BoundedServer& server, ReportStore& store, const IntakeBounds& bounds);

int64_t NowMs();

}  // namespace reports
