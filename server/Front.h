#pragma once
// The HTTP(S) front of zdx-server, over libmicrohttpd. Connections live in its event loop: a
// client that is slow to send its request, or idle between requests, costs a few kilobytes of
// buffer and no thread. A request whose line and headers have arrived is handed to a small
// pool of workers, which run the routes; the answer goes back through the loop. Limits: the
// request line and headers together, no bodies, a deadline for a request to arrive, an idle
// time-out, connections in all and per client address.
#include "Options.h"

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace zdxserver {

class HttpFront {
public:
    // Answers a request whose line and headers have arrived (`req` as the HTTP library has
    // it: method, target, decoded path, headers, addresses); on a worker thread.
    using Handler = std::function<void(const httplib::Request& req, httplib::Response& res)>;
    HttpFront(Handler handler, FrontLimits limits);
    ~HttpFront();
    HttpFront(const HttpFront&) = delete;
    HttpFront& operator=(const HttpFront&) = delete;

    // Listens on host:port (port 0: a free one), over HTTPS with a certificate and key (PEM
    // files): the port, or -1 with `problem` set.
    int Listen(const std::string& host, int port, const std::string& certFile,
               const std::string& keyFile, std::string& problem);
    // Stops listening, answers what waits and closes every connection.
    void Stop();

    struct Impl;

private:
    std::unique_ptr<Impl> m;
};

} // namespace zdxserver
