#pragma once
// A TCP server on 127.0.0.1 for tests where the exact bytes matter: it records each request
// (up to the blank line after the headers) and lets a handler answer on the socket.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class RawServer {
public:
    // Called with the connected socket and the request; the socket is closed afterwards.
    using Handler = std::function<void(int socket, const std::string& request, RawServer& self)>;

    explicit RawServer(Handler handler);
    // A server that sends `response` to every request and closes the connection.
    static Handler Reply(std::string response);
    ~RawServer();

    int Port() const { return m_port; }
    std::vector<std::string> Requests() const;
    int Connections() const { return m_connections; }
    bool Stopping() const { return m_stop; }

    // Writes everything, unless the peer has gone or the server is stopping.
    bool Send(int socket, std::string_view bytes) const;

private:
    void Run();

    Handler m_handler;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    mutable std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// "HTTP/1.1 <status>" with the given headers and body, Content-Length set.
std::string HttpResponse(const std::string& status, const std::string& body,
                         const std::string& headers = "");

// A port on 127.0.0.1 where nothing listens.
int ClosedPort();

// A socket connected to 127.0.0.1:port, or -1.
int ConnectToLoopback(int port);
