#pragma once
// The HTTP side of zdx-server: the servlet path the client searches, signs in and out on, and
// the files it links to when links are URLs.
#include "Index.h"
#include "Users.h"

#include <atomic>
#include <string>
#include <vector>

namespace zdxserver {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::vector<IndexedFolder> folders;
    std::string db;
    std::string usersFile;
    std::string certFile, keyFile;
    std::string base = "lvsearch/SearchServlet";
    bool linksAsUrls = false;
    int rescanSeconds = 60;
    // With a users file, searches and files need a signed-in session unless this is set.
    bool allowAnonymous = false;
    int sessionIdleMinutes = 12 * 60;
    int sessionsPerUser = 20;
};

// Scans, listens and serves until `stop` is set (checked every 200 ms) or the listener fails.
// Prints "zdx-server listening on <url>" once it accepts connections. Returns an exit status.
int RunServer(const ServerOptions& options, const std::atomic<bool>& stop);

} // namespace zdxserver
