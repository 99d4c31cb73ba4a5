#pragma once
// The lifetime of zdx-server: the users file, the backend and its first scan, the HTTP server
// with its routes and worker pool, the periodic rescans, and stopping.
#include "Options.h"

#include <atomic>

namespace zdxserver {

// Scans, listens and serves until `stop` is set (checked every 200 ms) or the listener fails.
// Prints "zdx-server listening on <url>" once it accepts connections. Returns an exit status.
int RunServer(const ServerOptions& options, const std::atomic<bool>& stop);

} // namespace zdxserver
