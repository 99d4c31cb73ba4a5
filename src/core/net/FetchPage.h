#pragma once
// The one routine that talks to the search service: a GET request whose 200 body is handed,
// line by line, to the result list's parser.
#include "config/Application.h"
#include "config/Settings.h"
#include "diag/ActivityLog.h"

#include <atomic>
#include <string>
#include <string_view>

// Substitute results for failures of the HTTP layer, numbered as the Windows internet layer
// numbers them, which users and support know.
enum InternetError {
    kErrorOther = 12004,
    kErrorTimeout = 12002,
    kErrorNameNotResolved = 12007,
    kErrorCannotConnect = 12029,
    kErrorConnectionAborted = 12030,
    kErrorCertDateInvalid = 12037,
    kErrorCertNameInvalid = 12038,
    kErrorUnknownCa = 12045,
    kErrorInvalidServerResponse = 12152,
    kErrorSecurity = 12175,
};

// What FetchPage returns for a request cancelled before its page began.
inline constexpr int kFetchCancelled = -1;

// What the body of a 200 answer is handed to: the result list's parser.
class PageReader {
public:
    virtual ~PageReader() = default;
    // A 200 answer's body starts: the tips of the page before are forgotten.
    virtual void ClearTips() = 0;
    // One non-empty body line; 0 asks the reader to stop.
    virtual int ParseResultLine(std::string_view line) = 0;
    // A reader that takes the body as it comes, not line by line, says so here; it is then
    // handed the answer's head (its header lines) once, and the body's bytes in pieces.
    virtual bool TakesRawBody() const { return false; }
    virtual void TakeHead(std::string_view /*headers*/) {}
    // False asks the reader to stop.
    virtual bool TakeBody(std::string_view /*bytes*/) { return true; }
};

inline constexpr const char* kAgentName = "LurvikRetriever";

// Time limits of a request: connecting, a transfer that receives nothing, and an overall limit
// (0: none) after which it fails as a time-out.
struct FetchTimeouts {
    long connectMs = 30000;
    long idleSeconds = 60;
    long deadlineMs = 0;
};

// Ends a request from another thread within about 50 ms: a page being read keeps the lines read
// so far and counts as answered; earlier, FetchPage returns kFetchCancelled. Every request
// handed a cancelled token ends at once, until Reset.
class CancelToken {
public:
    void Cancel() { m_cancelled = true; }
    void Reset() { m_cancelled = false; }
    bool Cancelled() const { return m_cancelled; }

private:
    std::atomic<bool> m_cancelled{false};
};

// Everything a request needs but its path: who asks, where, how long it may take, how it is
// ended, where its lines are logged and where its progress texts go (none when null).
struct FetchOptions {
    std::string agent = kAgentName;
    ConnectionSettings connection;
    FetchTimeouts timeouts;
    const CancelToken* cancel = nullptr;
    Logger log;
    StatusPanes* status = nullptr;
};

// Fetches `path` (Windows-1252 bytes, relative to the server) from the connection's address and
// port over HTTP, or HTTPS when its Secure setting is 1. Returns the HTTP status, 0 for a
// refused path ending or an unusable redirect, or one of the InternetError numbers. On 200 the
// reader's tips are emptied and every non-empty body line goes to the reader until it says
// stop; without a reader the body is not read. Cookies the service sets are kept for the run of
// the process, across requests.
int FetchPage(const FetchOptions& options, std::string path, PageReader* reader);

// The same request, its 200 body taken whole (up to `maxBytes`).
struct WholeAnswer {
    int status = 0;
    std::string body;
};
WholeAnswer FetchWhole(const FetchOptions& options, std::string path, std::size_t maxBytes);

// The message for a Port setting that is no TCP port (outside 0..65535), or the empty text.
std::string PortProblem(int port);

// The parts of an absolute http or https URL; false for anything else.
struct UrlParts {
    bool secure = false;
    std::string host; // without brackets
    int port = 0;     // 1..65535, the scheme's default when the URL has none
    std::string path; // starts with '/'
};
bool SplitUrl(const std::string& url, UrlParts& parts);

// The path as it goes on the request line: bytes that may not stand there raw become %XX.
std::string RequestLinePath(const std::string& path);
