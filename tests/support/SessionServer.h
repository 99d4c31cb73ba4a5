#pragma once
// A search service on 127.0.0.1 that signs users in and keeps the session in a cookie.
// Users: bob with password "s3cret", "jürgen" with "p w".
#include "RawServer.h"

#include <map>
#include <mutex>

class SessionServer {
public:
    SessionServer();
    int Port() const { return m_server.Port(); }
    std::vector<std::string> Requests() const { return m_server.Requests(); }
    // The path of each request, in order.
    std::vector<std::string> Paths() const;
    // Reported instead of the signed-in name when set.
    void ReportAs(const std::string& name);

private:
    std::string Answer(const std::string& request);

    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_sessions;
    std::string m_reportAs;
    int m_next = 0;
    RawServer m_server;
};
