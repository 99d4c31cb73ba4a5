#include "SessionServer.h"

namespace {

std::string PathOf(const std::string& request) {
    const std::size_t start = request.find(' ') + 1;
    return request.substr(start, request.find(' ', start) - start);
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + from.size();
    const std::size_t end = to.empty() ? std::string::npos : text.find(to, start);
    return text.substr(start, end == std::string::npos ? end : end - start);
}

} // namespace

SessionServer::SessionServer()
    : m_server([this](int socket, const std::string& request, RawServer& self) {
          self.Send(socket, Answer(request));
      }) {}

std::vector<std::string> SessionServer::Paths() const {
    std::vector<std::string> paths;
    for (const auto& r : Requests())
        paths.push_back(PathOf(r));
    return paths;
}

void SessionServer::ReportAs(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reportAs = name;
}

std::string SessionServer::Answer(const std::string& request) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string path = PathOf(request);
    const std::string sid = Between(request, "\r\nCookie: sid=", "\r\n");
    if (path.find("&userid=") != std::string::npos) {
        const std::string user = Between(path, "&userid=", "&password=");
        const std::string password = Between(path, "&password=", "");
        const bool ok =
            (user == "bob" && password == "s3cret") || (user == "j%FCrgen" && password == "p%20w");
        if (!ok)
            return HttpResponse("200 OK", "0|0|0||\n");
        const std::string session = "S" + std::to_string(++m_next);
        m_sessions[session] = user == "bob" ? "bob" : "j\xFCrgen"; // Windows-1252
        const std::string name = m_reportAs.empty() ? m_sessions[session] : m_reportAs;
        return HttpResponse("200 OK", "0|0|1||" + name + "\n",
                            "Set-Cookie: sid=" + session + "; HttpOnly; Path=/\r\n");
    }
    if (path.find("&logout") != std::string::npos) {
        m_sessions.erase(sid);
        return HttpResponse("200 OK", "0|0|0||\n");
    }
    auto it = m_sessions.find(sid);
    const std::string user = it == m_sessions.end() ? "" : it->second;
    return HttpResponse("200 OK", "0|1|" + std::string(user.empty() ? "0||" : "1||" + user) +
                                      "\n7|Hit for " + (user.empty() ? "guest" : user) + "\n");
}
