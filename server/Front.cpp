#include "Front.h"

#include "text/Numbers.h"

#include <microhttpd.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace zdxserver {

namespace {

using Clock = std::chrono::steady_clock;

// One request, from its first line to its answer.
struct Exchange {
    std::string target; // as the client sent it
    httplib::Request req;
    httplib::Response res;
    // New: nothing seen; Ready: the line and headers taken, waiting for the end of the request;
    // Running: with a worker (the connection suspended); Answered: the worker is done.
    enum class Phase { New, Ready, Running, Answered };
    std::atomic<Phase> phase = Phase::New;
};

// A body of text parts and parts of a file (through the answer's content provider): a file,
// one range of it, or several ranges as multipart/byteranges.
struct Stream {
    struct Part {
        std::string text;
        std::uint64_t fileOffset = 0, fileLength = 0; // when `text` is empty
    };
    std::vector<Part> parts;
    httplib::ContentProvider provider;
    std::uint64_t Size() const {
        std::uint64_t size = 0;
        for (const Part& p : parts)
            size += p.text.empty() ? p.fileLength : p.text.size();
        return size;
    }
};

ssize_t ReadStream(void* cls, std::uint64_t pos, char* buf, std::size_t max) {
    auto* stream = static_cast<Stream*>(cls);
    std::uint64_t start = 0;
    for (const Stream::Part& p : stream->parts) {
        const std::uint64_t length = p.text.empty() ? p.fileLength : p.text.size();
        if (pos >= start + length) {
            start += length;
            continue;
        }
        const std::uint64_t at = pos - start;
        const std::size_t most =
            static_cast<std::size_t>(std::min<std::uint64_t>(max, length - at));
        if (!p.text.empty()) {
            std::memcpy(buf, p.text.data() + at, most);
            return static_cast<ssize_t>(most);
        }
        std::size_t got = 0;
        httplib::DataSink sink;
        sink.write = [&](const char* data, std::size_t size) {
            const std::size_t n = std::min(size, most - got);
            std::memcpy(buf + got, data, n);
            got += n;
            return true;
        };
        sink.is_writable = [] { return true; };
        sink.done = [] {};
        if (!stream->provider(static_cast<std::size_t>(p.fileOffset + at), most, sink) || got == 0)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        return static_cast<ssize_t>(got);
    }
    return MHD_CONTENT_READER_END_OF_STREAM;
}

void FreeStream(void* cls) {
    delete static_cast<Stream*>(cls);
}

// The answer of a file's content provider, with the ranges the route left in the request.
MHD_Response* StreamResponse(Exchange& x, int& status) {
    auto stream = std::make_unique<Stream>();
    stream->provider = x.res.content_provider_;
    const std::uint64_t size = x.res.content_length_;
    const auto& ranges = x.req.ranges;
    std::string type = x.res.get_header_value("Content-Type");
    std::string contentRange;
    if (ranges.empty()) {
        stream->parts.push_back({{}, 0, size});
    } else if (ranges.size() == 1) {
        const auto [first, last] = ranges[0];
        stream->parts.push_back(
            {{}, static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(last - first + 1)});
        contentRange = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                       std::to_string(size);
        status = 206;
    } else {
        std::mt19937_64 random{std::random_device{}()};
        char boundary[33];
        std::snprintf(boundary, sizeof boundary, "%016llx%016llx",
                      static_cast<unsigned long long>(random()),
                      static_cast<unsigned long long>(random()));
        for (const auto& [first, last] : ranges) {
            stream->parts.push_back({std::string("--") + boundary + "\r\nContent-Type: " + type +
                                         "\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                                         std::to_string(last) + "/" + std::to_string(size) +
                                         "\r\n\r\n",
                                     0, 0});
            stream->parts.push_back({{},
                                     static_cast<std::uint64_t>(first),
                                     static_cast<std::uint64_t>(last - first + 1)});
            stream->parts.push_back({"\r\n", 0, 0});
        }
        stream->parts.push_back({std::string("--") + boundary + "--\r\n", 0, 0});
        type = std::string("multipart/byteranges; boundary=") + boundary;
        status = 206;
    }
    const std::uint64_t length = stream->Size();
    MHD_Response* response =
        MHD_create_response_from_callback(length, 64 * 1024, ReadStream, stream.get(), FreeStream);
    if (!response)
        return nullptr;
    stream.release();
    x.res.set_header("Content-Type", type);
    if (!contentRange.empty())
        x.res.set_header("Content-Range", contentRange);
    return response;
}

// The route's answer as the front sends it.
MHD_Result Answer(MHD_Connection* connection, Exchange& x) {
    int status = x.res.status == -1 ? 200 : x.res.status;
    MHD_Response* response = nullptr;
    if (x.res.content_provider_ && status == 200) {
        response = StreamResponse(x, status);
    } else {
        // The body goes to the library as it is (no second copy while it is sent).
        auto body = std::make_unique<std::string>(std::move(x.res.body));
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            body->size(), body->data(), [](void* p) { delete static_cast<std::string*>(p); },
            body.get());
        if (response)
            body.release();
    }
    if (!response)
        return MHD_NO;
    for (const auto& [name, value] : x.res.headers)
        if (strcasecmp(name.c_str(), "Content-Length") != 0)
            MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Refuse(MHD_Connection* connection, unsigned status) {
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Connection", "close");
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

std::string AddressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    else if (address && address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    return text;
}

int PortOf(const sockaddr* address) {
    if (address && address->sa_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
    if (address && address->sa_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
    return 0;
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return in.good() || in.eof();
}

// Whether the certificate and key (PEM files) can serve HTTPS together.
bool UsableCertificate(const std::string& certFile, const std::string& keyFile) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    const bool usable =
        context && SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) == 1 &&
        SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
        SSL_CTX_check_private_key(context) == 1;
    SSL_CTX_free(context);
    return usable;
}

} // namespace

struct HttpFront::Impl {
    Handler handler;
    FrontLimits limits;
    MHD_Daemon* daemon = nullptr;
    std::string cert, key;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<MHD_Connection*, Exchange*>> jobs;
    bool stopping = false;
    std::vector<std::thread> workers;

    // Connections whose request has not all arrived, and since when: the sweeper ends those
    // past the deadline.
    struct Waiting {
        int fd = -1;
        Clock::time_point since;
        bool waiting = true;
    };
    std::map<MHD_Connection*, Waiting> connections;
    std::thread sweeper;
    std::condition_variable sweepWake; // not `wake`: a job's notice must reach a worker

    void Work() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            if (jobs.empty())
                return;
            const auto [connection, x] = jobs.front();
            jobs.pop_front();
            const bool run = !stopping;
            lock.unlock();
            if (run) {
                try {
                    handler(x->req, x->res);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "zdx-server: %s: %s\n", x->req.path.c_str(), e.what());
                    x->res = httplib::Response();
                    x->res.status = 500;
                }
            } else {
                x->res.status = 503;
            }
            lock.lock();
            x->phase = Exchange::Phase::Answered;
            // `x` belongs to the loop again. Resumed outside the lock: the loop takes it in
            // its callbacks while holding its own.
            lock.unlock();
            MHD_resume_connection(connection);
            lock.lock();
        }
    }

    void Sweep() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!sweepWake.wait_for(lock, std::chrono::milliseconds(500),
                                   [this] { return stopping; })) {
            const auto deadline = Clock::now() - std::chrono::seconds(limits.requestSeconds);
            for (auto& [connection, c] : connections)
                if (c.waiting && c.since < deadline && c.fd >= 0) {
                    // The loop sees the connection end and closes it.
                    shutdown(c.fd, SHUT_RDWR);
                    c.waiting = false;
                }
        }
    }

    static void* OnUri(void* cls, const char* uri, MHD_Connection*) {
        (void)cls;
        auto* x = new Exchange;
        x->target = uri ? uri : "";
        return x;
    }

    static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode) {
        auto* self = static_cast<Impl*>(cls);
        delete static_cast<Exchange*>(*context);
        *context = nullptr;
        std::lock_guard<std::mutex> lock(self->mutex);
        const auto it = self->connections.find(connection);
        if (it != self->connections.end()) { // the next request's time starts
            it->second.waiting = true;
            it->second.since = Clock::now();
        }
    }

    static void OnConnection(void* cls, MHD_Connection* connection, void**,
                             MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<Impl*>(cls);
        std::lock_guard<std::mutex> lock(self->mutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            self->connections[connection] = {info ? info->connect_fd : -1, Clock::now(), true};
        } else {
            self->connections.erase(connection);
        }
    }

    static MHD_Result OnHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
        static_cast<httplib::Headers*>(cls)->emplace(key, value ? value : "");
        return MHD_YES;
    }

    static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char*,
                                const char* method, const char*, const char*,
                                std::size_t* uploadSize, void** context) {
        auto* self = static_cast<Impl*>(cls);
        auto* x = static_cast<Exchange*>(*context);
        if (!x)
            return MHD_NO;
        switch (x->phase.load()) {
        case Exchange::Phase::Answered:
            return Answer(connection, *x);
        case Exchange::Phase::Running:
            return MHD_YES;
        case Exchange::Phase::New:
            return self->Begin(connection, method, *uploadSize, *x);
        case Exchange::Phase::Ready:
            break;
        }
        // The request has all arrived (there is no body to it): a worker answers it.
        std::lock_guard<std::mutex> lock(self->mutex);
        if (self->jobs.size() >= self->limits.queued || self->stopping)
            return Refuse(connection, 503);
        x->phase = Exchange::Phase::Running;
        MHD_suspend_connection(connection);
        self->jobs.emplace_back(connection, x);
        self->wake.notify_one();
        return MHD_YES;
    }

    MHD_Result Begin(MHD_Connection* connection, const char* method, std::size_t uploadSize,
                     Exchange& x) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto it = connections.find(connection);
            if (it != connections.end())
                it->second.waiting = false;
        }
        // The service takes no bodies: refused before any is read.
        const char* length =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        const char* chunked =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding");
        if (uploadSize > 0 || chunked || (length && std::strtoull(length, nullptr, 10) > 0))
            return Refuse(connection, 413);
        if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
            return Refuse(connection, 405);
        httplib::Request& req = x.req;
        req.method = method;
        req.target = x.target;
        req.path = PercentDecode(std::string_view(x.target).substr(0, x.target.find('?')));
        req.version = "HTTP/1.1";
        MHD_get_connection_values(connection, MHD_HEADER_KIND, OnHeader, &req.headers);
        if (const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
            req.remote_addr = AddressText(info->client_addr);
            req.remote_port = PortOf(info->client_addr);
        }
        if (const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD)) {
            sockaddr_storage local{};
            socklen_t size = sizeof local;
            if (getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
                req.local_addr = AddressText(reinterpret_cast<sockaddr*>(&local));
                req.local_port = PortOf(reinterpret_cast<sockaddr*>(&local));
            }
        }
        x.phase = Exchange::Phase::Ready;
        return MHD_YES;
    }
};

HttpFront::HttpFront(Handler handler, FrontLimits limits) : m(std::make_unique<Impl>()) {
    m->handler = std::move(handler);
    m->limits = limits;
}

HttpFront::~HttpFront() {
    Stop();
}

int HttpFront::Listen(const std::string& host, int port, const std::string& certFile,
                      const std::string& keyFile, std::string& problem) {
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_ALLOW_SUSPEND_RESUME;
    if (!certFile.empty()) {
        if (!UsableCertificate(certFile, keyFile) || !ReadFile(certFile, m->cert) ||
            !ReadFile(keyFile, m->key)) {
            problem = "cannot use the certificate " + certFile;
            return -1;
        }
        flags |= MHD_USE_TLS;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                    &found) != 0 ||
        !found) {
        problem = "cannot listen on " + host + ":" + std::to_string(port);
        return -1;
    }
    sockaddr_storage address{};
    std::memcpy(&address, found->ai_addr, std::min<std::size_t>(found->ai_addrlen, sizeof address));
    if (found->ai_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    freeaddrinfo(found);
    // Every connection is a descriptor: as many as the system lets this process have.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const FrontLimits& l = m->limits;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &address},
        {MHD_OPTION_LISTENING_ADDRESS_REUSE, 1, nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, SOMAXCONN, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(l.connections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(l.perAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(l.idleSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(l.headerBytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, reinterpret_cast<intptr_t>(&Impl::OnUri), m.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::OnCompleted), m.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::OnConnection), m.get()},
    };
    if (!m->cert.empty()) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, m->cert.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, m->key.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    const unsigned workers =
        l.workers ? l.workers
                  : std::max(32u, 4u * std::max(1u, std::thread::hardware_concurrency()));
    for (unsigned i = 0; i < workers; ++i)
        m->workers.emplace_back([this] { m->Work(); });
    m->sweeper = std::thread([this] { m->Sweep(); });
    m->daemon = MHD_start_daemon(flags, static_cast<std::uint16_t>(port), nullptr, nullptr,
                                 &Impl::OnRequest, m.get(), MHD_OPTION_ARRAY, options.data(),
                                 MHD_OPTION_END);
    const MHD_DaemonInfo* info =
        m->daemon ? MHD_get_daemon_info(m->daemon, MHD_DAEMON_INFO_BIND_PORT) : nullptr;
    if (!info || info->port == 0) {
        problem = "cannot listen on " + host + ":" + std::to_string(port);
        Stop();
        return -1;
    }
    return info->port;
}

void HttpFront::Stop() {
    if (m->daemon)
        MHD_quiesce_daemon(m->daemon); // no new connections
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->stopping = true; // what waits for a worker is answered 503
    }
    m->wake.notify_all();
    m->sweepWake.notify_all();
    for (std::thread& t : m->workers)
        t.join();
    m->workers.clear();
    if (m->sweeper.joinable())
        m->sweeper.join();
    if (m->daemon)
        MHD_stop_daemon(m->daemon);
    m->daemon = nullptr;
}

} // namespace zdxserver
