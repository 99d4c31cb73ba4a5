#pragma once
// zdx-server's command line: the options as a value, read in one place.
#include "Store.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zdxserver {

// What the HTTP front lets a client have.
struct FrontLimits {
    int connections = 4000;  // open at once, in all
    int perAddress = 256;    // open at once from one client address
    int idleSeconds = 10;    // a connection with nothing coming or going is closed
    int requestSeconds = 10; // for a request's line and headers to arrive
    // The request line and headers together; beyond it 414 (the line) or 431 (the headers).
    std::size_t headerBytes = 8 * 1024;
    unsigned workers = 0;      // 0: four a processor, at least 32
    std::size_t queued = 4096; // requests waiting for a worker; beyond, 503
};

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::vector<IndexedFolder> folders;
    std::string db;
    std::string usersFile;
    std::string certFile, keyFile;
    std::string base = "lvsearch/SearchServlet";
    bool linksAsUrls = false;
    // With --links url: where clients reach this service ("https://search.example.org"); the
    // listen address when empty. Links never take the request's Host header.
    std::string publicUrl;
    // Proxies (nginx in front) whose X-Forwarded-For / X-Real-IP name the client's address.
    std::vector<std::string> trustedProxies;
    int rescanSeconds = 60; // polling; while the folders are watched, 600 unless given
    bool rescanGiven = false;
    bool watch = true; // follow the folders with inotify
    // With a users file, searches and files need a signed-in session unless this is set.
    bool allowAnonymous = false;
    int sessionIdleMinutes = 12 * 60;
    int sessionsPerUser = 20;
    int sessionMaxHours = 24;                 // after sign-in, however much it is used
    ScanRules scanRules = {kDefaultExcludes}; // given to every folder
    std::vector<std::pair<std::string, std::string>> languages; // index name, Snowball name
    FrontLimits limits;
    int cacheMb = 48; // recent answers kept, in megabytes (0: none)
    // With PostgreSQL: searches read a copy of the documents kept in SQLite by this process.
    bool localCopy = true;
};

// What the command line asks for: serve with `options`, add a user, or end at once with
// `exitCode` (help, version, or a mistake already reported on standard error).
struct CommandLine {
    enum class Action { Serve, AddUser, Exit } action = Action::Serve;
    ServerOptions options;
    std::string addUser;
    int exitCode = 0;
};

CommandLine ParseCommandLine(int argc, char** argv);

// The database a service over these folders uses when --db is not given: one per set of
// folders under the user's cache folder.
std::string DefaultDatabasePath(const std::vector<IndexedFolder>& folders);
// The user's cache folder for the service (made when missing).
std::string CacheFolder();

} // namespace zdxserver
