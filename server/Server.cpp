#include "Server.h"

#include "Backend.h"
#include "Routes.h"
#include "Scan.h"
#include "Watch.h"

#include <sys/socket.h>
#include <sys/stat.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

// The users file, the backend and its first scan; false (reported) when either fails.
bool OpenData(const ServerOptions& options, Users& users, Backend& backend) {
    if (!options.usersFile.empty()) {
        std::string error;
        if (!users.Load(options.usersFile, error) && fs::exists(options.usersFile)) {
            std::fprintf(stderr, "zdx-server: %s\n", error.c_str());
            return false;
        }
    }
    try {
        backend = OpenBackend(options);
        const ScanStats stats = backend.documents->Scan();
        std::fprintf(stderr, "zdx-server: indexed %d new, %d changed, %d removed, %d unchanged\n",
                     stats.added, stats.updated, stats.removed, stats.unchanged);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zdx-server: %s\n", e.what());
        return false;
    }
    return true;
}

// The HTTP server with its routes, time-outs and worker pool; null (reported) when the
// certificate cannot be used.
std::unique_ptr<httplib::Server> MakeHttpServer(const ServerOptions& options, Routes& routes) {
    std::unique_ptr<httplib::Server> server;
    if (!options.certFile.empty())
        server =
            std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
    else
        server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::fprintf(stderr, "zdx-server: cannot use the certificate %s\n",
                     options.certFile.c_str());
        return nullptr;
    }
    server->Get("/" + options.base, [&routes](const httplib::Request& req, httplib::Response& res) {
        routes.Servlet(req, res);
    });
    server->Get(
        std::string(kFilesRoute) + ".*",
        [&routes](const httplib::Request& req, httplib::Response& res) { routes.File(req, res); });
    server->Get(kStatusRoute, [&routes](const httplib::Request& req, httplib::Response& res) {
        routes.Status(req, res);
    });
    server->Get(
        std::string(kTextRoute) + ".*",
        [&routes](const httplib::Request& req, httplib::Response& res) { routes.Text(req, res); });
    // Headers and body go out in separate writes: without this, Nagle's algorithm holds the
    // body back until the client's delayed acknowledgement, some 40 ms a request.
    server->set_tcp_nodelay(true);
    // A client gets a few seconds for each read of its request; the pool is large enough that
    // slow or idle connections cannot take every worker while honest searches wait.
    server->set_read_timeout(3, 0);
    server->set_write_timeout(30, 0);
    // One request a connection, as the ZDX client makes them anyway (a fresh connection each
    // time): every answer, a 400 or 414 refusal included, closes its connection at once
    // instead of holding a worker for the next request that never comes.
    server->set_keep_alive_max_count(1);
    const unsigned workers =
        std::max(128u, 32u * std::max(1u, std::thread::hardware_concurrency()));
    server->new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    return server;
}

// The port listened on, or -1 (reported).
int Bind(httplib::Server& server, const ServerOptions& options) {
    // The HTTP library (built as Debian's shared library, so its CPPHTTPLIB_LISTEN_BACKLOG of 5
    // is fixed) listens with a backlog of 5: a burst of new connections (every request comes
    // on a connection of its own) would overflow it, and each dropped attempt waits a second to
    // be tried again. Its socket-options hook hands over the listening socket, which listens
    // again below with a wide queue.
    int listening = -1;
    server.set_socket_options([&listening](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listening = sock;
    });
    int port = options.port;
    if (port == 0)
        port = server.bind_to_any_port(options.host);
    else if (!server.bind_to_port(options.host, port))
        port = -1;
    if (port <= 0)
        std::fprintf(stderr, "zdx-server: cannot listen on %s:%d\n", options.host.c_str(),
                     options.port);
    else if (listening >= 0)
        listen(listening, SOMAXCONN);
    return port;
}

// Runs `work` every `interval` on a thread of its own until the object goes.
class Every {
public:
    Every(std::chrono::milliseconds interval, std::function<void()> work)
        : m_thread([this, interval, work = std::move(work)] {
              std::unique_lock<std::mutex> lock(m_mutex);
              while (!m_wake.wait_for(lock, interval, [this] { return m_done; })) {
                  lock.unlock();
                  work();
                  lock.lock();
              }
          }) {}
    ~Every() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Every(const Every&) = delete;
    Every& operator=(const Every&) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

// Brings the index up to date.
void Rescan(DocumentStore& documents) {
    try {
        documents.Scan();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zdx-server: re-scan failed: %s\n", e.what());
    }
}

// What tells a changed file: its inode (a file renamed over it), size and time.
std::string FileStamp(const std::string& path) {
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0)
        return {};
    return std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) + ":" +
           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
}

// Reads the users file again when it has changed since `seen`: a user removed or given a new
// password loses every session at once.
void ReloadUsers(const std::string& path, std::string& seen, Users& users, SessionStore& sessions) {
    const std::string stamp = FileStamp(path);
    if (stamp == seen || stamp.empty())
        return;
    seen = stamp;
    std::vector<std::string> changed;
    std::string error;
    if (!users.Load(path, error, &changed)) {
        std::fprintf(stderr, "zdx-server: %s; the users known before stay\n", error.c_str());
        return;
    }
    for (const std::string& name : changed)
        sessions.EndUser(name);
    std::fprintf(stderr, "zdx-server: %s read again: %zu users, sessions ended for %zu\n",
                 path.c_str(), users.Count(), changed.size());
}

} // namespace

int RunServer(const ServerOptions& options, const std::atomic<bool>& stop) {
    Users users;
    Backend backend;
    // A stop during the first scan ends the scan and the service, before it listens.
    SetScanStopFlag(&stop);
    if (!OpenData(options, users, backend))
        return stop ? 0 : 1;
    if (stop)
        return 0;
    Routes routes(options, backend, users);
    const std::unique_ptr<httplib::Server> server = MakeHttpServer(options, routes);
    if (!server)
        return 1;
    const int port = Bind(*server, options);
    if (port <= 0)
        return 1;

    std::atomic<bool> done{false};
    bool listened = false;
    {
        // The folders are followed as they change (only by the node that indexes); the whole
        // index is still brought up to date now and then, more rarely then.
        std::unique_ptr<FolderWatch> watch;
        if (options.watch && backend.documents->Indexes())
            watch = std::make_unique<FolderWatch>(backend.documents->Folders(),
                                                  [&backend] { Rescan(*backend.documents); });
        routes.SetWatch(watch.get());
        const int rescanSeconds = watch && !options.rescanGiven ? 600 : options.rescanSeconds;
        Every rescans(std::chrono::seconds(std::max(1, rescanSeconds)),
                      [&backend] { Rescan(*backend.documents); });
        // The users file is looked at twice a second.
        std::string seen = FileStamp(options.usersFile);
        Every reloads(std::chrono::milliseconds(500), [&] {
            if (!options.usersFile.empty())
                ReloadUsers(options.usersFile, seen, users, *backend.sessions);
        });
        // Asked again until listening has ended: a stop that comes before the server has
        // started listening would otherwise be lost.
        std::thread stopper([&] {
            while (!done) {
                if (stop)
                    server->stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
        });
        const std::string host =
            options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
        std::printf("zdx-server listening on %s://%s:%d/%s\n",
                    options.certFile.empty() ? "http" : "https", host.c_str(), port,
                    options.base.c_str());
        std::fflush(stdout);
        listened = server->listen_after_bind();
        done = true;
        stopper.join();
        routes.SetWatch(nullptr);
    }
    return listened || stop ? 0 : 1;
}

} // namespace zdxserver
