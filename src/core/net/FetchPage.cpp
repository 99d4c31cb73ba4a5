#include "net/FetchPage.h"

#include "net/FetchStatus.h"
#include "text/Codepage.h"
#include "text/Numbers.h"
#include "text/SecureWipe.h"

#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <csignal>
#include <curl/curl.h>
#include <mutex>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>

namespace {

constexpr const char* kAcceptHeader =
    "Accept: audio/x-aiff, audio/basic, audio/midi, audio/mpeg, audio/wav, image/jpeg, "
    "image/gif, image/jpg, image/png, image/mng, image/bmp, text/plain, text/html, text/htm";
constexpr const char* kUserAgentHeader = "User-Agent: Lurvik Retreiever/1.0";
constexpr const char* kRefusedEndings[] = {"exe", "com", "dll", "bat", "sys", "inf"};

constexpr std::size_t kMaxLoggedPath = 255;
constexpr std::size_t kMaxLoggedLine = 4900;
constexpr std::size_t kMaxLineBytes = 64u << 20;
constexpr std::size_t kMaxBodyBytes = 256u << 20;
constexpr std::size_t kMaxRawHeaderBytes = 1u << 20;

// Cookies the service sets live for the whole run, across calls: one share handle keeps them.
std::mutex g_shareMutexes[CURL_LOCK_DATA_LAST];

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void*) {
    g_shareMutexes[data].lock();
}
void UnlockShare(CURL*, curl_lock_data data, void*) {
    g_shareMutexes[data].unlock();
}

// Runs the transfer, looking every 50 ms whether it was cancelled; a cancelled transfer ends
// with CURLE_ABORTED_BY_CALLBACK.
CURLcode PerformCancellable(CURL* easy, const CancelToken* cancel) {
    CURLM* multi = curl_multi_init();
    if (!multi)
        return curl_easy_perform(easy);
    curl_multi_add_handle(multi, easy);
    CURLcode result = CURLE_OK;
    for (int running = 1; running;) {
        if (cancel && cancel->Cancelled()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left))
            if (message->msg == CURLMSG_DONE)
                result = message->data.result;
        if (running)
            curl_multi_poll(multi, nullptr, 0, 50, nullptr);
    }
    curl_multi_remove_handle(multi, easy);
    curl_multi_cleanup(multi);
    return result;
}

CURLSH* CookieShare() {
    static CURLSH* share = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        std::signal(SIGPIPE, SIG_IGN);
        CURLSH* s = curl_share_init();
        curl_share_setopt(s, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        // Requests may run on any thread: the shared cookies are locked while in use.
        curl_share_setopt(s, CURLSHOPT_LOCKFUNC, LockShare);
        curl_share_setopt(s, CURLSHOPT_UNLOCKFUNC, UnlockShare);
        return s;
    }();
    return share;
}

// OpenSSL verify errors an unknown or self-made issuer causes; IgnoreUnknownCa forgives these
// and nothing else (an expired certificate is still refused).
bool IsIssuerError(int error) {
    return error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
           error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
           error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
           error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
           error == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
}

int ForgiveIssuerErrors(int preverified, X509_STORE_CTX* store) {
    if (preverified)
        return 1;
    if (IsIssuerError(X509_STORE_CTX_get_error(store))) {
        X509_STORE_CTX_set_error(store, X509_V_OK);
        return 1;
    }
    return 0;
}

CURLcode InstallForgivingVerify(CURL*, void* sslContext, void*) {
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), ForgiveIssuerErrors);
    return CURLE_OK;
}

// One request and what comes back.
struct Exchange {
    FetchStatus* session = nullptr;
    const Logger* log = nullptr;
    CURL* curl = nullptr;
    bool parse = false;       // hand a 200 body to the result list
    bool logReturned = false; // the status still goes to the log
    PageReader* view = nullptr;

    std::string rawHeaders; // of the final response, lines ending in CR LF
    bool nameResolvedShown = false;

    bool bodyStarted = false;
    bool tipsCleared = false;
    bool stoppedByParser = false;
    bool bodyRefused = false; // not a 200: the body is not read
    bool bodyTooLarge = false;
    bool skippingLineRest = false;
    std::size_t bodyBytes = 0;
    std::string line;

    long Status() const {
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        return code;
    }

    void ClearTips() {
        if (!tipsCleared && view)
            view->ClearTips();
        tipsCleared = true;
    }

    // One body line (without its LF). False: stop reading.
    bool Deliver() {
        if (log->Enabled())
            log->Write(Cp1252ToUtf8(std::string_view(line).substr(0, kMaxLoggedLine)), "");
        if (line.empty())
            return true;
        if (!view->ParseResultLine(line)) {
            stoppedByParser = true;
            return false;
        }
        return true;
    }

    std::size_t OnBody(const char* data, std::size_t size) {
        if (!bodyStarted) {
            bodyStarted = true;
            if (!parse || !view || Status() != 200) {
                bodyRefused = true;
                return 0;
            }
            ClearTips();
            if (view->TakesRawBody())
                view->TakeHead(rawHeaders);
        }
        bodyBytes += size;
        if (bodyBytes > kMaxBodyBytes) {
            bodyTooLarge = true;
            return 0;
        }
        if (view->TakesRawBody()) {
            if (view->TakeBody(std::string_view(data, size)))
                return size;
            stoppedByParser = true;
            return 0;
        }
        std::string_view chunk(data, size);
        while (!chunk.empty()) {
            const std::size_t lf = chunk.find('\n');
            const bool ended = lf != std::string_view::npos;
            const std::string_view piece = chunk.substr(0, lf);
            chunk.remove_prefix(ended ? lf + 1 : chunk.size());
            if (skippingLineRest) {
                skippingLineRest = !ended;
                continue;
            }
            if (line.size() + piece.size() > kMaxLineBytes) {
                // A line this long is cut here and the rest of it skipped.
                line.append(piece.substr(0, kMaxLineBytes - line.size()));
                skippingLineRest = !ended;
            } else {
                line.append(piece);
                if (!ended)
                    break;
            }
            const bool more = Deliver();
            line.clear();
            if (!more)
                return 0;
        }
        return size;
    }
};

std::size_t WriteBody(char* data, std::size_t, std::size_t size, void* user) {
    return static_cast<Exchange*>(user)->OnBody(data, size);
}

std::size_t WriteHeader(char* data, std::size_t, std::size_t size, void* user) {
    auto* x = static_cast<Exchange*>(user);
    const std::string_view text(data, size);
    if (text.rfind("HTTP/", 0) == 0)
        x->rawHeaders.clear(); // a new response (after a 100 Continue, say)
    if (x->rawHeaders.size() + size <= kMaxRawHeaderBytes)
        x->rawHeaders.append(text);
    if (text == "\r\n" || text == "\n") {
        const long status = x->Status();
        if (status >= 200) {
            // Noted when the answer's head is complete, before any line of its page.
            if (x->logReturned) {
                x->logReturned = false;
                x->log->Write("GetWebFile() returned", std::to_string(status));
            }
            x->session->Report(kResponseReceived);
        }
    }
    return size;
}

curl_socket_t OpenSocket(void* user, curlsocktype, curl_sockaddr* address) {
    auto* x = static_cast<Exchange*>(user);
    if (!x->nameResolvedShown) {
        x->nameResolvedShown = true;
        char text[INET6_ADDRSTRLEN] = "";
        if (address->family == AF_INET)
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address->addr)->sin_addr, text,
                      sizeof text);
        else if (address->family == AF_INET6)
            inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address->addr)->sin6_addr, text,
                      sizeof text);
        x->session->Report(kNameResolved, text);
    }
    x->session->Report(kConnectingToServer);
    return socket(address->family, address->socktype, address->protocol);
}

int BeforeRequest(void* user, char*, char*, int, int) {
    auto* x = static_cast<Exchange*>(user);
    x->session->Report(kConnectedToServer);
    x->session->Report(kSendingRequest);
    return CURL_PREREQFUNC_OK;
}

int OnDebug(CURL*, curl_infotype type, char*, std::size_t, void* user) {
    if (type == CURLINFO_HEADER_OUT)
        static_cast<Exchange*>(user)->session->Report(kRequestSent);
    return 0;
}

bool IsRawSafe(unsigned char b) {
    if (b <= 0x20 || b >= 0x7F)
        return false;
    switch (b) {
    case '#':
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
        return false;
    default:
        return true;
    }
}

std::string HostForUrl(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// The Windows layer's number for a failed transfer.
int ErrorNumber(CURL* curl, CURLcode code, std::string_view errorText) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return kErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
        return kErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return kErrorTimeout;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        return kErrorConnectionAborted;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return kErrorInvalidServerResponse;
    case CURLE_PEER_FAILED_VERIFICATION: {
        // The name is checked before the chain's result is recorded: only the text tells.
        if (errorText.find("target host name") != std::string_view::npos)
            return kErrorCertNameInvalid;
        long verify = 0;
        curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &verify);
        if (verify == X509_V_OK || verify == X509_V_ERR_HOSTNAME_MISMATCH ||
            verify == X509_V_ERR_IP_ADDRESS_MISMATCH)
            return kErrorCertNameInvalid;
        if (verify == X509_V_ERR_CERT_HAS_EXPIRED || verify == X509_V_ERR_CERT_NOT_YET_VALID)
            return kErrorCertDateInvalid;
        if (IsIssuerError(static_cast<int>(verify)))
            return kErrorUnknownCa;
        return kErrorSecurity;
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
        return kErrorSecurity;
    default:
        return kErrorOther;
    }
}

// Everything the handle needs for one GET: the URL, HTTP/1.1, no reuse, the limits, cookies,
// certificate checks and the callbacks into the exchange.
void SetOptions(CURL* c, Exchange& x, const FetchOptions& options, const std::string& url,
                curl_slist* headers, char* errorText) {
    const ConnectionSettings& connection = options.connection;
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(c, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(c, CURLOPT_USERAGENT, options.agent.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // A request ended while its host name is being resolved does not wait for the resolver:
    // its thread is left to finish on its own, so that Stop returns at once.
    curl_easy_setopt(c, CURLOPT_QUICK_EXIT, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, options.timeouts.connectMs);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, options.timeouts.idleSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, options.timeouts.deadlineMs);
    curl_easy_setopt(c, CURLOPT_SHARE, CookieShare());
    curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, connection.ignoreCertCnInvalid == 1 ? 0L : 2L);
    if (connection.ignoreUnknownCa == 1)
        curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, InstallForgivingVerify);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &x);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, WriteHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETFUNCTION, OpenSocket);
    curl_easy_setopt(c, CURLOPT_OPENSOCKETDATA, &x);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, BeforeRequest);
    curl_easy_setopt(c, CURLOPT_PREREQDATA, &x);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, OnDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &x);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
}

// Runs one GET. Returns the status (and sets `answered`), or a failure number; fills
// `rawHeaders`.
int Perform(FetchStatus& session, PageReader* reader, const FetchOptions& options,
            const std::string& host, int port, const std::string& path, bool firstRequest,
            std::string& rawHeaders, bool& answered) {
    answered = false;
    const ConnectionSettings& connection = options.connection;
    const bool secure = connection.secure == 1;
    const Logger& log = options.log;
    Exchange x;
    x.session = &session;
    x.log = &log;
    x.parse = true;
    x.logReturned = firstRequest;
    x.view = reader;
    x.curl = curl_easy_init();
    if (!x.curl)
        return kErrorOther;
    session.Report(kHandleCreated);

    std::string url = std::string(secure ? "https://" : "http://") + HostForUrl(host);
    const int tcpPort = port & 0xFFFF;
    if (tcpPort != 0)
        url += ":" + std::to_string(tcpPort);
    url += RequestLinePath(path.empty() || path[0] != '/' ? "/" + path : path);

    curl_slist* headers = curl_slist_append(nullptr, kAcceptHeader);
    if (firstRequest)
        headers = curl_slist_append(headers, kUserAgentHeader);
    char errorText[CURL_ERROR_SIZE] = "";

    CURL* c = x.curl;
    SetOptions(c, x, options, url, headers, errorText);

    session.Report(kResolvingName, host);
    const CURLcode code = PerformCancellable(c, options.cancel);
    const long status = x.Status();

    int result;
    if (x.bodyTooLarge) {
        log.Write("GetWebFile() body over 256 MiB, reading stopped", "");
        result = kErrorOther;
    } else if (code == CURLE_OK ||
               (code == CURLE_WRITE_ERROR && (x.stoppedByParser || x.bodyRefused)) ||
               (code == CURLE_ABORTED_BY_CALLBACK && x.bodyStarted && !x.bodyRefused)) {
        // A transfer cancelled during the page keeps what was read, as a stop line would.
        result = static_cast<int>(status);
        answered = true;
        if (result == 200 && x.parse && x.view) {
            x.ClearTips(); // also for an empty body
            // A last line without a line feed still counts.
            if (code == CURLE_OK && !x.line.empty() && !x.skippingLineRest)
                x.Deliver();
        }
    } else if (code == CURLE_ABORTED_BY_CALLBACK) {
        result = kFetchCancelled;
        log.Write("Request cancelled", "");
    } else {
        result = ErrorNumber(c, code, errorText);
        log.Write("GetWebFile() failed", std::to_string(result) + " " +
                                             (errorText[0] ? errorText : curl_easy_strerror(code)));
    }
    rawHeaders = std::move(x.rawHeaders);

    session.Report(kClosingConnection);
    curl_easy_cleanup(c);
    curl_slist_free_all(headers);
    WipeString(url);
    session.Report(kConnectionClosed);
    return result;
}

} // namespace

std::string PortProblem(int port) {
    if (port >= 0 && port <= 65535)
        return {};
    return "The Port setting " + std::to_string(port) +
           " is not a TCP port. Please set a port from 0 to 65535.";
}

std::string RequestLinePath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if (IsRawSafe(b)) {
            out += c;
        } else {
            AppendPercentEscape(out, b);
        }
    }
    return out;
}

bool SplitUrl(const std::string& url, UrlParts& parts) {
    auto startsWithNoCase = [&](const char* prefix) {
        const std::size_t n = std::char_traits<char>::length(prefix);
        if (url.size() < n)
            return false;
        for (std::size_t i = 0; i < n; ++i)
            if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i])
                return false;
        return true;
    };
    std::size_t pos;
    if (startsWithNoCase("http://")) {
        parts.secure = false;
        pos = 7;
    } else if (startsWithNoCase("https://")) {
        parts.secure = true;
        pos = 8;
    } else {
        return false;
    }
    const std::size_t pathStart = url.find_first_of("/?#", pos);
    std::string authority =
        url.substr(pos, pathStart == std::string::npos ? std::string::npos : pathStart - pos);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1); // user name and password are not used
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        parts.host = authority.substr(1, close - 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            portText = rest.substr(1);
        }
    } else {
        const std::size_t colon = authority.find(':');
        parts.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            portText = authority.substr(colon + 1);
    }
    if (parts.host.empty())
        return false;
    parts.port = parts.secure ? 443 : 80;
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const auto port = ReadWholeNumber(portText, 1, 65535);
        if (!port)
            return false;
        parts.port = static_cast<int>(*port);
    }
    parts.path = pathStart == std::string::npos ? "/" : url.substr(pathStart);
    if (parts.path[0] != '/')
        parts.path.insert(0, "/");
    return true;
}

int FetchPage(const FetchOptions& options, std::string path, PageReader* reader) {
    const std::string& host = options.connection.address;
    const std::string ending = path.size() >= 3 ? path.substr(path.size() - 3) : path;
    const Logger& log = options.log;
    if (log.Enabled()) {
        log.Write("GetWebFile()", options.agent);
        const std::size_t password = path.find("password=");
        const std::string logged = password != std::string::npos ? path.substr(0, password + 9)
                                                                 : path.substr(0, kMaxLoggedPath);
        log.Write(host, Cp1252ToUtf8(logged));
    }
    for (const char* refused : kRefusedEndings)
        if (ending == refused)
            return 0;

    FetchStatus session(options.status);
    std::string rawHeaders;
    bool answered = false;
    const int status = Perform(session, reader, options, host, options.connection.port, path, true,
                               rawHeaders, answered);
    WipeString(path); // a sign-in path holds the password
    if (!answered)
        return status; // a failure number
    if (status != 301 && status != 302 && status != 303)
        return status;

    // One redirect is followed by hand, to an absolute URL in the first "Location: " found.
    const std::size_t at = rawHeaders.find("Location: ");
    if (at == std::string::npos)
        return 0;
    const std::size_t start = at + 10;
    const std::size_t end = rawHeaders.find_first_of("\r\n", start);
    const std::string target =
        rawHeaders.substr(start, end == std::string::npos ? end : end - start);
    UrlParts parts;
    if (!SplitUrl(target, parts))
        return 0;
    session.Report(kRedirect);
    std::string ignored;
    return Perform(session, reader, options, parts.host, parts.port, parts.path, false, ignored,
                   answered);
}

WholeAnswer FetchWhole(const FetchOptions& options, std::string path, std::size_t maxBytes) {
    class Whole : public PageReader {
    public:
        explicit Whole(std::size_t most) : m_most(most) {}
        void ClearTips() override {}
        int ParseResultLine(std::string_view) override { return 1; }
        bool TakesRawBody() const override { return true; }
        bool TakeBody(std::string_view bytes) override {
            body.append(bytes.substr(0, m_most - body.size()));
            return body.size() < m_most;
        }
        std::string body;

    private:
        std::size_t m_most;
    } reader(maxBytes);
    WholeAnswer answer;
    answer.status = FetchPage(options, std::move(path), &reader);
    answer.body = std::move(reader.body);
    return answer;
}
