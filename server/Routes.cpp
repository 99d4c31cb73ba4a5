#include "Routes.h"

#include "Beneath.h"
#include "Extract.h"
#include "PgStore.h"
#include "Query.h"
#include "Scan.h"
#include "Watch.h"
#include "Words.h"

#include "text/Codepage.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

constexpr const char* kCookie = "zdxsid";
constexpr const char* kPageType = "text/plain; charset=windows-1252";
constexpr const char* kUtf8PageType = "text/plain; charset=utf-8";
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

int RelevanceOf(double score, double best) {
    return best < 0 ? std::clamp(static_cast<int>(std::lround(100.0 * score / best)), 1, 100) : 100;
}

// A JSON string: quotes, backslashes and control characters escaped; bytes that are not
// UTF-8 as U+FFFD.
std::string JsonString(std::string_view text) {
    const std::string valid = IsValidUtf8(text) ? std::string(text) : ValidUtf8(text);
    std::string out = "\"";
    for (char c : valid) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (b < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The answer while the stores cannot be reached: 503, and for the servlet a page whose -3 line
// the client shows, "The search service is not available."
void ServiceUnavailable(const httplib::Request& req, httplib::Response& res) {
    res = httplib::Response();
    res.status = 503;
    res.set_header("Retry-After", "5");
    if (req.path.rfind(kFilesRoute, 0) != 0)
        res.set_content(SummaryLine(0, 0, "") + FailureLine("The search service is not available."),
                        kPageType);
}

} // namespace

Routes::Routes(const ServerOptions& options, Backend& backend, Users& users)
    : m_options(options), m_backend(backend), m_users(users) {}

bool Routes::SignInRequired() const {
    return !m_options.usersFile.empty() && !m_options.allowAnonymous;
}

std::string Routes::CookieAttributes() const {
    return std::string("; Path=/; HttpOnly; SameSite=Strict") +
           (m_options.certFile.empty() ? "" : "; Secure");
}

void Routes::Servlet(const httplib::Request& req, httplib::Response& res) {
    Guarded(req, res, &Routes::Serve);
}

void Routes::File(const httplib::Request& req, httplib::Response& res) {
    Guarded(req, res, &Routes::ServeFile);
}

void Routes::Text(const httplib::Request& req, httplib::Response& res) {
    Guarded(req, res, &Routes::ServeText);
}

void Routes::Status(const httplib::Request& req, httplib::Response& res) {
    Guarded(req, res, &Routes::ServeStatus);
}

void Routes::Guarded(const httplib::Request& req, httplib::Response& res, Handler serve) {
    try {
        (this->*serve)(req, res);
    } catch (const std::exception& e) {
        // The stores failed (a database gone away): said in the protocol's words, the reason
        // only on standard error.
        std::fprintf(stderr, "zdx-server: %s: %s\n", req.path.c_str(), e.what());
        ServiceUnavailable(req, res);
    }
}

void Routes::Serve(const httplib::Request& req, httplib::Response& res) {
    const Params params = ParseTarget(req.target);
    const Charset charset = CharsetOf(params);
    std::string notice;
    const std::string user = SignInOrOut(req, params, res, notice, charset);
    Search(req, params, user, res, charset);
    // A back-off says so (before the summary line, where the client shows every -3 text).
    if (!notice.empty())
        res.body = FailureLine(notice) + res.body;
}

std::string Routes::SignInOrOut(const httplib::Request& req, const Params& params,
                                httplib::Response& res, std::string& notice, Charset charset) {
    std::string sid = CookieValue(req, kCookie);
    std::string user = m_backend.sessions->UserOf(sid);
    if (params.Has("logout")) {
        m_backend.sessions->End(sid);
        user.clear();
        res.set_header("Set-Cookie", std::string(kCookie) + "=; Max-Age=0" + CookieAttributes());
    }
    const auto name = params.Get("userid");
    const auto password = params.Get("password");
    if (!name || !password)
        return user;
    const std::string userName = ClientText(*name, charset);
    if (!CheckPassword(ClientAddress(req), userName, ClientText(*password, charset), notice))
        return {}; // a failed sign-in names nobody
    m_backend.sessions->End(sid);
    sid = m_backend.sessions->Create(userName);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + sid + CookieAttributes());
    return userName;
}

std::string Routes::ClientAddress(const httplib::Request& req) const {
    const auto trusted = [this](std::string_view address) {
        return std::find(m_options.trustedProxies.begin(), m_options.trustedProxies.end(),
                         address) != m_options.trustedProxies.end();
    };
    // Anyone else's headers are ignored: a client could write any address there.
    if (!trusted(req.remote_addr))
        return req.remote_addr;
    // X-Forwarded-For grows by one address a proxy: the last one no trusted proxy added is
    // the client's.
    const std::string chain = req.get_header_value("X-Forwarded-For");
    std::string_view rest = chain;
    while (!rest.empty()) {
        const std::size_t comma = rest.rfind(',');
        std::string_view hop = comma == std::string_view::npos ? rest : rest.substr(comma + 1);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(0, comma);
        while (!hop.empty() && hop.front() == ' ')
            hop.remove_prefix(1);
        while (!hop.empty() && hop.back() == ' ')
            hop.remove_suffix(1);
        if (!hop.empty() && !trusted(hop))
            return std::string(hop);
    }
    const std::string real = req.get_header_value("X-Real-IP");
    return real.empty() ? req.remote_addr : real;
}

bool Routes::CheckPassword(const std::string& address, const std::string& name,
                           const std::string& password, std::string& notice) {
    // A place in the queue of checks first: when it is full, the attempt fails at once without
    // counting, and the HTTP worker goes back to searches.
    if (!m_users.ReserveCheck()) {
        std::fprintf(stderr, "zdx-server: sign-in queue full; attempt from %s refused\n",
                     address.c_str());
        return false;
    }
    struct Release {
        Users& users;
        ~Release() { users.ReleaseCheck(); }
    } release{m_users};
    SignInCounters& counters = *m_backend.counters;
    const auto now = SignInGuard::Clock::now();
    // A backed-off attempt is answered at once, its password unchecked: failures never hold a
    // worker, and guessing gets no faster by sending more.
    if (!counters.Allowed(address, name, now)) {
        const auto wait = std::chrono::duration_cast<std::chrono::seconds>(
            counters.RetryAfter(address, name, now) + std::chrono::milliseconds(999));
        notice = "Too many failed sign-ins. Please wait " +
                 std::to_string(std::max<long long>(1, wait.count())) + " seconds and try again.";
        return false;
    }
    if (m_users.Verify(name, password)) {
        counters.Succeeded(address, name);
        return true;
    }
    // Only a checked password counts: the back-off doubles with each one.
    const auto wait = counters.Failed(address, name, now);
    if (wait > wait.zero())
        std::fprintf(
            stderr, "zdx-server: sign-in from %s backed off for %lld s\n", address.c_str(),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(wait).count()));
    return false;
}

std::string Routes::ReadSearch(const Params& params, SearchRequest& request,
                               Charset charset) const {
    request.query = DecodeQueryText(params.GetRaw("query0").value_or(""), charset);
    request.fileFilter = ClientText(params.Get("filefilter").value_or(""), charset);
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
                request.sinceSeconds = static_cast<std::int64_t>(std::time(nullptr)) + span / 1000;
        } catch (const std::exception&) {
        }
    }
    const std::string indexes = params.Get("index").value_or("");
    for (std::size_t at = 0; at < indexes.size();) {
        const std::size_t end = std::min(indexes.find(';', at), indexes.size());
        const std::string one = ClientText(indexes.substr(at, end - at), charset);
        if (!one.empty() && !m_backend.documents->HasIndex(one))
            return FailureLine("Index not available");
        if (!one.empty())
            request.indexes.push_back(one);
        at = end + 1;
    }
    return {};
}

void Routes::Search(const httplib::Request& req, const Params& params, const std::string& user,
                    httplib::Response& res, Charset charset) {
    SearchRequest request;
    const std::string refused = ReadSearch(params, request, charset);
    const char* type = charset == Charset::Utf8 ? kUtf8PageType : kPageType;
    if (request.query.empty() && request.fileFilter.empty() && refused.empty())
        return res.set_content(SummaryLine(-1, 0, user, charset), type);
    // Asked before the index names are judged: without a session nobody learns which exist.
    if (user.empty() && SignInRequired())
        return res.set_content(
            SummaryLine(0, 0, user, charset) + FailureLine("Please sign in first."), type);
    if (!refused.empty())
        return res.set_content(SummaryLine(0, 0, user, charset) + refused, type);
    // A query of exclusions only finds nothing to exclude from: the user is told so.
    if (const ParsedQuery parsed = ParseQuery(request.query); !parsed.problem.empty())
        return res.set_content(SummaryLine(0, 0, user, charset) + FailureLine(parsed.problem),
                               type);
    if (request.query.empty() && request.fileFilter.empty())
        return res.set_content(SummaryLine(-1, 0, user, charset), type);
    SearchResult result;
    try {
        result = m_backend.documents->Search(request); // a failure: see Servlet
    } catch (const SearchTooCostly&) {
        return res.set_content(SummaryLine(0, 0, user, charset) + FailureLine(kTooCostly), type);
    }
    std::string out = SummaryLine(0, result.found, user, charset);
    const double best = result.documents.empty() ? 0 : result.documents.front().score;
    int number = 0;
    for (Document& d : result.documents) { // each hit's texts are moved to its line
        Hit hit;
        hit.link = LinkFor(req, d, charset);
        hit.title = std::move(d.title);
        hit.relevance = RelevanceOf(d.score, best);
        hit.description = std::move(d.snippet);
        hit.date = DateOf(d.mtime);
        hit.format = std::move(d.format);
        hit.indexName = std::move(d.index);
        hit.author = std::move(d.author);
        hit.size = d.size;
        hit.matches = std::move(d.matches);
        AppendHitLine(out, ++number, hit, charset);
    }
    // Moved, not copied: a page of a thousand hits is most of a search's memory.
    res.body = std::move(out);
    res.set_header("Content-Type", type);
}

Routes::IndexedFile Routes::OpenIndexedFile(const httplib::Request& req, const char* route,
                                            httplib::Response& res) {
    DocumentStore& documents = *m_backend.documents;
    IndexedFile found;
    if (SignInRequired() && m_backend.sessions->UserOf(CookieValue(req, kCookie)).empty()) {
        res.status = 401;
        // Sign-in goes through the servlet, which sets the session cookie.
        res.set_header("WWW-Authenticate",
                       "Cookie realm=\"zdx-server\", cookie-name=" + std::string(kCookie));
        return found;
    }
    // <route><index>/<path inside it>. Only a file of the index is named, by the very path it
    // was indexed under, opened below the index's folder a step at a time: no control
    // characters, no "..", no link, pipe or device anywhere on the way, and the very file the
    // scan saw (its inode), whatever is swapped on the disk meanwhile.
    // The text route also takes the file's path as the hits link to it: <route>?path=/a/b.
    std::string rest = req.path.substr(std::strlen(route));
    const IndexedFolder* folder = nullptr;
    if (rest.empty() && std::string_view(route) == kTextRoute) {
        const std::string asked = ParseTarget(req.target).Get("path").value_or("");
        for (const auto& f : documents.Folders())
            if (asked.size() > f.root.size() + 1 && asked.rfind(f.root + "/", 0) == 0 &&
                (!folder || f.root.size() > folder->root.size()))
                folder = &f;
        if (folder)
            rest = folder->name + asked.substr(folder->root.size());
    }
    const std::size_t slash = rest.find('/');
    folder = nullptr;
    for (const auto& f : documents.Folders())
        if (f.name == rest.substr(0, slash))
            folder = &f;
    const std::string_view relative =
        slash == std::string::npos ? std::string_view() : std::string_view(rest).substr(slash + 1);
    const std::optional<std::string> path =
        folder && slash != std::string::npos ? PathUnderRoot(folder->root, relative) : std::nullopt;
    const std::optional<std::int64_t> inode =
        path ? documents.DocumentInode(folder->name, *path) : std::nullopt;
    int fd = -1;
    if (inode) {
        const int root = OpenRoot(folder->root);
        fd = root >= 0 ? OpenBeneath(root, relative, false) : -1;
        if (root >= 0)
            close(root);
    }
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 ||
        (*inode != 0 && static_cast<std::int64_t>(info.st_ino) != *inode)) {
        if (fd >= 0)
            close(fd);
        res.status = 404;
        return found;
    }
    found.fd = fd;
    found.folder = folder;
    found.path = *path;
    found.size = static_cast<std::uint64_t>(info.st_size);
    return found;
}

void Routes::ServeFile(const httplib::Request& req, httplib::Response& res) {
    const IndexedFile opened = OpenIndexedFile(req, kFilesRoute, res);
    if (opened.fd < 0)
        return;
    const int fd = opened.fd;
    // The ranges asked for, sorted, merged and checked against the file here: the HTTP
    // library would repeat overlapping ranges and answer 206 for a range past the end. It
    // applies what is left in the request's ranges (its own request object, not const where
    // it lives) to the answer.
    const std::uint64_t size = opened.size;
    const RangeRequest asked = ParseRanges(req.get_header_value("Range"), size);
    auto& ranges = const_cast<httplib::Request&>(req).ranges;
    ranges.clear();
    if (asked.kind == RangeRequest::Kind::Unsatisfiable) {
        close(fd);
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
    }
    for (const auto& [first, last] : asked.ranges)
        ranges.emplace_back(static_cast<ssize_t>(first), static_cast<ssize_t>(last));
    auto file = std::shared_ptr<int>(new int(fd), [](int* p) {
        close(*p);
        delete p;
    });
    res.set_content_provider(
        static_cast<std::size_t>(size), "application/octet-stream",
        [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            std::vector<char> buffer(std::min<std::size_t>(length, 64 * 1024));
            const ssize_t got =
                pread(*file, buffer.data(), buffer.size(), static_cast<off_t>(offset));
            return got > 0 && sink.write(buffer.data(), static_cast<std::size_t>(got));
        });
}

void Routes::ServeText(const httplib::Request& req, httplib::Response& res) {
    const IndexedFile opened = OpenIndexedFile(req, kTextRoute, res);
    if (opened.fd < 0)
        return;
    close(opened.fd); // the text comes from the index; the file only had to be there
    std::optional<std::string> text =
        m_backend.documents->DocumentText(opened.folder->name, opened.path);
    if (!text) {
        res.status = 404;
        return;
    }
    // A part of the text: at most kMaxTextAnswer bytes from `offset`, cut at characters.
    const Params params = ParseTarget(req.target);
    auto number = [&](const char* name, std::size_t fallback) {
        const auto value = params.Get(name);
        std::size_t n = 0;
        const auto [end, error] =
            value ? std::from_chars(value->data(), value->data() + value->size(), n)
                  : std::from_chars_result{nullptr, std::errc::invalid_argument};
        return value && error == std::errc() && end == value->data() + value->size() ? n : fallback;
    };
    const std::size_t total = text->size();
    std::size_t from = std::min(number("offset", 0), total);
    while (from < total && (static_cast<unsigned char>((*text)[from]) & 0xC0) == 0x80)
        ++from;
    std::size_t to = from + std::min(number("length", kMaxTextAnswer), kMaxTextAnswer);
    to = std::min(to, total);
    while (to < total && to > from && (static_cast<unsigned char>((*text)[to]) & 0xC0) == 0x80)
        --to;
    res.set_header("X-Zdx-Text-Length", std::to_string(total));
    if (from > 0 || to < total)
        res.set_header("X-Zdx-Text-Range", std::to_string(from) + "-" + std::to_string(to));
    // With a query: its words as the text holds them, percent-escaped, separated by blanks.
    const auto query = params.GetRaw("query0");
    if (query) {
        const ParsedQuery parsed = ParseQuery(DecodeQueryText(*query, CharsetOf(params)));
        if (parsed.root) {
            std::string words;
            for (const std::string& w :
                 MatchedWords(*text, *parsed.root, LanguagesOf(m_backend.documents->Folders())))
                words += (words.empty() ? "" : " ") + UrlEscapePath(w);
            res.set_header("X-Zdx-Matches", words);
        }
    }
    res.set_content(text->substr(from, to - from), "text/plain; charset=utf-8");
}

void Routes::ServeStatus(const httplib::Request& req, httplib::Response& res) {
    if (SignInRequired() && m_backend.sessions->UserOf(CookieValue(req, kCookie)).empty()) {
        res.status = 401;
        return;
    }
    DocumentStore& documents = *m_backend.documents;
    const ScanRecord scans = LastScans();
    const bool postgres = IsPostgresUrl(m_options.db);
    std::string json = "{\"store\":" + JsonString(postgres ? "postgresql" : "sqlite") +
                       ",\"thisNodeIndexes\":" + (documents.Indexes() ? "true" : "false") +
                       ",\"indexes\":[";
    bool first = true;
    for (const IndexStatus& s : documents.Status()) {
        json += first ? "{" : ",{";
        first = false;
        json += "\"name\":" + JsonString(s.name) + ",\"documents\":" + std::to_string(s.documents) +
                ",\"textBytes\":" + std::to_string(s.textBytes) + ",\"kept\":" +
                (m_watch && m_watch->Watching(s.name) ? "\"watching\"" : "\"polling\"") + "}";
    }
    json += "],\"lastScan\":";
    if (scans.endedAt > 0) {
        char when[32];
        const std::time_t t = scans.endedAt;
        std::tm utc{};
        gmtime_r(&t, &utc);
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", scans.seconds);
        json += std::string("{\"ended\":\"") + when + "\",\"seconds\":" + seconds + "}";
    } else {
        json += "null"; // a node that does not index scans nothing
    }
    // With PostgreSQL: whether this node's searches read its own copy of the documents, how
    // far that goes, and whether it holds the last change (searches read the database while
    // it does not).
    if (postgres) {
        const std::optional<CopyState> copy = documents.Copy();
        json += ",\"localCopy\":" +
                (copy ? "{\"changes\":" + std::to_string(copy->changes) +
                            ",\"current\":" + (copy->current ? "true" : "false") + "}"
                      : std::string("null"));
    }
    json += ",\"unreadable\":[";
    for (std::size_t i = 0; i < scans.problems.size(); ++i)
        json += (i ? ",{" : "{") + std::string("\"path\":") + JsonString(scans.problems[i].path) +
                ",\"reason\":" + JsonString(scans.problems[i].reason) + "}";
    res.set_content(json + "]}\n", "application/json");
}

std::string Routes::PublicUrl(const httplib::Request& req) const {
    if (!m_options.publicUrl.empty())
        return m_options.publicUrl;
    // The address the service listens on (the port it got, for port 0), never the request's
    // Host header, which the client writes.
    // Listening on every address: the one this connection came in on (the server's side).
    const bool any =
        m_options.host.empty() || m_options.host == "0.0.0.0" || m_options.host == "::";
    const std::string address = any ? req.local_addr : m_options.host;
    const std::string host = address.find(':') != std::string::npos ? "[" + address + "]" : address;
    return std::string(m_options.certFile.empty() ? "http://" : "https://") + host + ":" +
           std::to_string(req.local_port);
}

std::string Routes::LinkFor(const httplib::Request& req, const Document& d, Charset charset) const {
    if (!m_options.linksAsUrls)
        if (auto escaped = EscapeLink(d.path, charset))
            return *escaped;
    // A URL under which this service serves the file itself.
    std::string root;
    for (const auto& f : m_backend.documents->Folders())
        if (f.name == d.index)
            root = f.root;
    const std::string relative = d.path.substr(std::min(d.path.size(), root.size() + 1));
    const std::string url =
        PublicUrl(req) + kFilesRoute + UrlEscapePath(d.index) + "/" + UrlEscapePath(relative);
    return EscapeLink(url).value_or(std::string());
}

} // namespace zdxserver
