#include "Server.h"

#include "PgStore.h"
#include "Protocol.h"

#include "text/Codepage.h"

#include <httplib.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

constexpr const char* kFilesRoute = "/zdx-files/";
constexpr const char* kCookie = "zdxsid";
constexpr int kMaxHitsCap = 10000;

std::string CookieValue(const httplib::Request& req, const std::string& name) {
    const std::string header = req.get_header_value("Cookie");
    std::size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';'))
            ++at;
        const std::size_t end = header.find(';', at);
        const std::string pair = header.substr(at, end == std::string::npos ? end : end - at);
        if (pair.rfind(name + "=", 0) == 0)
            return pair.substr(name.size() + 1);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return {};
}

std::string DateOf(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

// The HTTP library listens with a backlog of 5: a burst of new connections (every request comes
// on a connection of its own) would overflow it, and each dropped connection attempt waits a
// second to be tried again. Listening again on the same socket widens the queue; the library
// keeps no other handle on it than the descriptor, found here by its port.
void WidenListenBacklog(int port) {
    for (int fd = 3; fd < 4096; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            continue;
        const int bound = address.ss_family == AF_INET6
                              ? ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port)
                              : ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
        if (bound == port)
            listen(fd, SOMAXCONN);
    }
}

// With PostgreSQL the sessions are shared by every process on the same database.
std::unique_ptr<SessionStore> OpenSessions(const ServerOptions& options, DocumentStore& index) {
    const auto idle = std::chrono::minutes(std::max(1, options.sessionIdleMinutes));
    const auto perUser = static_cast<std::size_t>(std::max(1, options.sessionsPerUser));
    if (auto* pg = dynamic_cast<PgStore*>(&index))
        return pg->MakeSessions(idle, perUser);
    return std::make_unique<Sessions>(idle, perUser);
}

std::unique_ptr<SignInCounters> OpenCounters(DocumentStore& index) {
    if (auto* pg = dynamic_cast<PgStore*>(&index))
        return pg->MakeSignInCounters();
    return std::make_unique<SignInGuard>();
}

class Service {
public:
    Service(const ServerOptions& options, DocumentStore& index, const Users& users)
        : m_options(options), m_index(index), m_users(users),
          m_sessions(OpenSessions(options, index)), m_guard(OpenCounters(index)) {}

    // Searches and files need a session when a users file is given, unless anonymous use is
    // allowed.
    bool SignInRequired() const {
        return !m_options.usersFile.empty() && !m_options.allowAnonymous;
    }

    std::string CookieAttributes() const {
        return std::string("; Path=/; HttpOnly; SameSite=Strict") +
               (m_options.certFile.empty() ? "" : "; Secure");
    }

    void Search(const httplib::Request& req, httplib::Response& res) {
        const Params params = ParseTarget(req.target);
        std::string sid = CookieValue(req, kCookie);
        std::string user = m_sessions->UserOf(sid);

        if (params.Has("logout")) {
            m_sessions->End(sid);
            user.clear();
            res.set_header("Set-Cookie",
                           std::string(kCookie) + "=; Max-Age=0" + CookieAttributes());
        }
        const auto name = params.Get("userid");
        const auto password = params.Get("password");
        if (name && password) {
            // Names and passwords arrive as Windows-1252 bytes.
            const std::string userName = Cp1252Text(*name);
            const auto now = SignInGuard::Clock::now();
            // A backed-off attempt is answered at once, its password unchecked: failures never
            // hold a worker, and guessing gets no faster by sending more.
            if (!m_guard->Allowed(req.remote_addr, userName, now)) {
                user.clear();
            } else if (m_users.Verify(userName, Cp1252Text(*password))) {
                m_guard->Succeeded(req.remote_addr, userName);
                m_sessions->End(sid);
                sid = m_sessions->Create(userName);
                user = userName;
                res.set_header("Set-Cookie", std::string(kCookie) + "=" + sid + CookieAttributes());
            } else {
                // Only a checked password counts: the back-off doubles with each one.
                const auto wait = m_guard->Failed(req.remote_addr, userName, now);
                if (wait > wait.zero())
                    std::fprintf(
                        stderr, "zdx-server: sign-in from %s backed off for %lld s\n",
                        req.remote_addr.c_str(),
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::seconds>(wait).count()));
                user.clear(); // a failed sign-in names nobody
            }
        }

        SearchRequest request;
        request.query = DecodeQueryText(params.GetRaw("query0").value_or(""));
        request.fileFilter = Cp1252Text(params.Get("filefilter").value_or(""));
        request.maxHits = 999;
        if (auto numhits = params.Get("numhits")) {
            try {
                request.maxHits = std::clamp(std::stoi(*numhits), 0, kMaxHitsCap);
            } catch (const std::exception&) {
            }
        }
        if (auto date = params.Get("date")) {
            try {
                const long long span = std::stoll(*date);
                if (span < 0)
                    request.sinceSeconds =
                        static_cast<std::int64_t>(std::time(nullptr)) + span / 1000;
            } catch (const std::exception&) {
            }
        }
        std::string out;
        if (auto indexes = params.Get("index")) {
            std::size_t at = 0;
            while (at <= indexes->size()) {
                const std::size_t end = indexes->find(';', at);
                const std::string one =
                    Cp1252Text(indexes->substr(at, end == std::string::npos ? end : end - at));
                if (!one.empty()) {
                    if (!m_index.HasIndex(one)) {
                        res.set_content(SummaryLine(0, 0, user) +
                                            FailureLine("Index not available"),
                                        "text/plain; charset=windows-1252");
                        return;
                    }
                    request.indexes.push_back(one);
                }
                if (end == std::string::npos)
                    break;
                at = end + 1;
            }
        }
        if (request.query.empty() && request.fileFilter.empty()) {
            res.set_content(SummaryLine(-1, 0, user), "text/plain; charset=windows-1252");
            return;
        }
        if (user.empty() && SignInRequired()) {
            res.set_content(SummaryLine(0, 0, user) + FailureLine("Please sign in first."),
                            "text/plain; charset=windows-1252");
            return;
        }
        SearchResult result;
        try {
            result = m_index.Search(request);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zdx-server: search failed: %s\n", e.what());
            res.set_content(SummaryLine(0, 0, user) + "-2|search failed\n",
                            "text/plain; charset=windows-1252");
            return;
        }
        out = SummaryLine(0, result.found, user);
        const double best = result.documents.empty() ? 0 : result.documents.front().score;
        int number = 0;
        for (const Document& d : result.documents) {
            Hit hit;
            hit.title = d.title;
            hit.relevance =
                best < 0 ? std::clamp(static_cast<int>(std::lround(100.0 * d.score / best)), 1, 100)
                         : 100;
            hit.description = d.snippet;
            hit.date = DateOf(d.mtime);
            hit.format = d.format;
            hit.indexName = d.index;
            hit.author = d.author;
            hit.size = d.size;
            hit.link = LinkFor(req, d);
            out += HitLine(++number, hit);
        }
        res.set_content(out, "text/plain; charset=windows-1252");
    }

    void File(const httplib::Request& req, httplib::Response& res) {
        if (SignInRequired() && m_sessions->UserOf(CookieValue(req, kCookie)).empty()) {
            res.status = 401;
            return;
        }
        // /zdx-files/<index>/<path inside it>. Only a file of the index is served, by the very
        // path it was indexed under: no control characters, no "..", and no symbolic link on
        // the way, inside the folder or out of it.
        const std::string rest = req.path.substr(std::strlen(kFilesRoute));
        const std::size_t slash = rest.find('/');
        const IndexedFolder* folder = nullptr;
        for (const auto& f : m_index.Folders())
            if (f.name == rest.substr(0, slash))
                folder = &f;
        const std::optional<std::string> path =
            folder && slash != std::string::npos
                ? PathUnderRoot(folder->root, std::string_view(rest).substr(slash + 1))
                : std::nullopt;
        std::error_code ec;
        if (!path || !m_index.HasDocument(folder->name, *path) ||
            fs::canonical(*path, ec) != fs::path(*path) || ec) {
            res.status = 404;
            return;
        }
        const fs::path target = *path;
        const int fd = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            if (fd >= 0)
                close(fd);
            res.status = 404;
            return;
        }
        auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
            close(*p);
            delete p;
        });
        res.set_content_provider(
            static_cast<std::size_t>(info.st_size), "application/octet-stream",
            [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                std::vector<char> buffer(std::min<std::size_t>(length, 64 * 1024));
                const ssize_t got =
                    pread(*file, buffer.data(), buffer.size(), static_cast<off_t>(offset));
                return got > 0 && sink.write(buffer.data(), static_cast<std::size_t>(got));
            });
    }

private:
    static std::string Cp1252Text(const std::string& bytes) { return Cp1252ToUtf8(bytes); }

    std::string LinkFor(const httplib::Request& req, const Document& d) const {
        if (!m_options.linksAsUrls)
            if (auto escaped = EscapeLink(d.path))
                return *escaped;
        // A URL under which this service serves the file itself.
        std::string root;
        for (const auto& f : m_index.Folders())
            if (f.name == d.index)
                root = f.root;
        const std::string relative = d.path.substr(std::min(d.path.size(), root.size() + 1));
        std::string host = req.get_header_value("Host");
        if (host.empty())
            host = m_options.host + ":" + std::to_string(m_options.port);
        const std::string url = std::string(m_options.certFile.empty() ? "http://" : "https://") +
                                host + kFilesRoute + UrlEscapePath(d.index) + "/" +
                                UrlEscapePath(relative);
        return EscapeLink(url).value_or(std::string());
    }

    const ServerOptions& m_options;
    DocumentStore& m_index;
    const Users& m_users;
    std::unique_ptr<SessionStore> m_sessions;
    std::unique_ptr<SignInCounters> m_guard;
};

} // namespace

int RunServer(const ServerOptions& options, const std::atomic<bool>& stop) {
    Users users;
    if (!options.usersFile.empty()) {
        std::string error;
        if (!users.Load(options.usersFile, error) && fs::exists(options.usersFile)) {
            std::fprintf(stderr, "zdx-server: %s\n", error.c_str());
            return 1;
        }
    }
    std::unique_ptr<DocumentStore> index;
    try {
        index = OpenStore(options.db, options.folders);
        const ScanStats stats = index->Scan();
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
    Service service(options, *index, users);
    const std::string servlet = "/" + options.base;
    server->Get(servlet, [&service](const httplib::Request& req, httplib::Response& res) {
        service.Search(req, res);
    });
    server->Get(std::string(kFilesRoute) + ".*",
                [&service](const httplib::Request& req, httplib::Response& res) {
                    service.File(req, res);
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
    if (port > 0)
        WidenListenBacklog(port);
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
                index->Scan();
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
