#include "Server.h"

#include "Backend.h"
#include "Front.h"
#include "Routes.h"
#include "Scan.h"
#include "Watch.h"

#include <sys/stat.h>

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
        backend.documents->CatchUp();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zdx-server: %s\n", e.what());
        return false;
    }
    return true;
}

// Hands each request to its route; 404 for any other path.
HttpFront::Handler Dispatch(const ServerOptions& options, Routes& routes) {
    return [&options, &routes](const httplib::Request& req, httplib::Response& res) {
        const std::string& path = req.path;
        if (path == "/" + options.base)
            routes.Servlet(req, res);
        else if (path.rfind(kFilesRoute, 0) == 0)
            routes.File(req, res);
        else if (path == kStatusRoute)
            routes.Status(req, res);
        else if (path.rfind(kTextRoute, 0) == 0)
            routes.Text(req, res);
        else
            res.status = 404;
    };
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
    HttpFront front(Dispatch(options, routes), options.limits);
    std::string problem;
    const int port =
        front.Listen(options.host, options.port, options.certFile, options.keyFile, problem);
    if (port <= 0) {
        std::fprintf(stderr, "zdx-server: %s\n", problem.c_str());
        return 1;
    }
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
        const std::string host =
            options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
        std::printf("zdx-server listening on %s://%s:%d/%s\n",
                    options.certFile.empty() ? "http" : "https", host.c_str(), port,
                    options.base.c_str());
        std::fflush(stdout);
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        front.Stop();
        routes.SetWatch(nullptr);
    }
    return 0;
}

} // namespace zdxserver
