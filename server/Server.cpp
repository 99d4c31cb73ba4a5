// The HTTP library listens with a backlog of 5 unless told otherwise: a burst of new
// connections (every request comes on a connection of its own) would overflow it, and each
// dropped connection attempt waits a second to be tried again.
#define CPPHTTPLIB_LISTEN_BACKLOG SOMAXCONN

#include "Server.h"

#include "Backend.h"
#include "Routes.h"

#include <sys/socket.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace zdxserver {

int RunServer(const ServerOptions& options, const std::atomic<bool>& stop) {
    Users users;
    if (!options.usersFile.empty()) {
        std::string error;
        if (!users.Load(options.usersFile, error) && fs::exists(options.usersFile)) {
            std::fprintf(stderr, "zdx-server: %s\n", error.c_str());
            return 1;
        }
    }
    Backend backend;
    try {
        backend = OpenBackend(options);
        const ScanStats stats = backend.documents->Scan();
        std::fprintf(stderr, "zdx-server: indexed %d new, %d changed, %d removed, %d unchanged\n",
                     stats.added, stats.updated, stats.removed, stats.unchanged);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zdx-server: %s\n", e.what());
        return 1;
    }

    std::unique_ptr<httplib::Server> server;
    if (!options.certFile.empty())
        server =
            std::make_unique<httplib::SSLServer>(options.certFile.c_str(), options.keyFile.c_str());
    else
        server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        std::fprintf(stderr, "zdx-server: cannot use the certificate %s\n",
                     options.certFile.c_str());
        return 1;
    }
    Routes routes(options, backend, users);
    const std::string servlet = "/" + options.base;
    server->Get(servlet, [&routes](const httplib::Request& req, httplib::Response& res) {
        routes.Servlet(req, res);
    });
    server->Get(std::string(kFilesRoute) + ".*",
                [&routes](const httplib::Request& req, httplib::Response& res) {
                    routes.File(req, res);
                });
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

    int port = options.port;
    if (port == 0)
        port = server->bind_to_any_port(options.host);
    else if (!server->bind_to_port(options.host, port))
        port = -1;
    if (port <= 0) {
        std::fprintf(stderr, "zdx-server: cannot listen on %s:%d\n", options.host.c_str(),
                     options.port);
        return 1;
    }

    std::mutex mutex;
    std::condition_variable wake;
    std::atomic<bool> done{false};
    std::thread rescanner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!wake.wait_for(lock, std::chrono::seconds(std::max(1, options.rescanSeconds)),
                              [&] { return done.load(); })) {
            lock.unlock();
            try {
                backend.documents->Scan();
            } catch (const std::exception& e) {
                std::fprintf(stderr, "zdx-server: re-scan failed: %s\n", e.what());
            }
            lock.lock();
        }
    });
    std::thread stopper([&] {
        while (!stop && !done)
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        server->stop();
    });
    const std::string host =
        options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
    std::printf("zdx-server listening on %s://%s:%d%s\n",
                options.certFile.empty() ? "http" : "https", host.c_str(), port, servlet.c_str());
    std::fflush(stdout);
    const bool listened = server->listen_after_bind();
    {
        std::lock_guard<std::mutex> lock(mutex); // the rescanner waits on it
        done = true;
    }
    wake.notify_all();
    rescanner.join();
    stopper.join();
    return listened || stop ? 0 : 1;
}

} // namespace zdxserver
