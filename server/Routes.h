#pragma once
// The service's routes, one handler each: the servlet (sign-in and sign-out, then the search)
// and the file route the hits link to when links are URLs.
#include "Backend.h"
#include "Options.h"
#include "Protocol.h"

#include <string>

namespace httplib {
struct Request;
struct Response;
} // namespace httplib

namespace zdxserver {

class FolderWatch;

inline constexpr const char* kFilesRoute = "/zdx-files/";
// The text the index holds of a file, under the same path and rules as the file itself.
inline constexpr const char* kTextRoute = "/zdx-text/";
// How the index is, as JSON.
inline constexpr const char* kStatusRoute = "/zdx-status";
// The most text one answer of the text route holds; offset= and length= ask for more.
inline constexpr std::size_t kMaxTextAnswer = 4u << 20;

class Routes {
public:
    Routes(const ServerOptions& options, Backend& backend, Users& users);
    // The watch over the folders, for the status route (none: polled).
    void SetWatch(const FolderWatch* watch) { m_watch = watch; }

    // The servlet path: signs in or out when asked, then searches.
    void Servlet(const httplib::Request& req, httplib::Response& res);
    // /zdx-files/<index>/<path inside it>.
    void File(const httplib::Request& req, httplib::Response& res);
    // /zdx-text/<index>/<path inside it>[?query0=...][&offset=N][&length=N], or
    // /zdx-text/?path=<the file's path>&... for a hit that links to its path.
    void Text(const httplib::Request& req, httplib::Response& res);
    // /zdx-status: per index its documents, text, last scan, how it is kept up to date, the
    // files that could not be read; which node indexes.
    void Status(const httplib::Request& req, httplib::Response& res);

private:
    using Handler = void (Routes::*)(const httplib::Request&, httplib::Response&);
    // Runs a route; a store that fails is answered as unavailable.
    void Guarded(const httplib::Request& req, httplib::Response& res, Handler serve);
    void Serve(const httplib::Request& req, httplib::Response& res);
    void ServeFile(const httplib::Request& req, httplib::Response& res);
    void ServeText(const httplib::Request& req, httplib::Response& res);
    void ServeStatus(const httplib::Request& req, httplib::Response& res);
    // The file of an index that a path under `route` names, opened (the caller closes `fd`);
    // fd -1 with the answer's status set (401, 404) when there is none the client may have.
    struct IndexedFile {
        int fd = -1;
        const IndexedFolder* folder = nullptr;
        std::string path;
        std::uint64_t size = 0;
    };
    IndexedFile OpenIndexedFile(const httplib::Request& req, const char* route,
                                httplib::Response& res);
    // Searches and files need a session when a users file is given, unless anonymous use is
    // allowed.
    bool SignInRequired() const;
    std::string CookieAttributes() const;
    // Sign-out and sign-in as the parameters ask; returns the user the answer names.
    // `notice` gets a -3 text for a sign-in refused without a check.
    std::string SignInOrOut(const httplib::Request& req, const Params& params,
                            httplib::Response& res, std::string& notice, Charset charset);
    // The client's address: the peer's, or what a trusted proxy says it is.
    std::string ClientAddress(const httplib::Request& req) const;
    // Checks a password under the back-off rules; true when it signs the user in.
    bool CheckPassword(const std::string& address, const std::string& name,
                       const std::string& password, std::string& notice);
    // The search the parameters ask for; the page's failure line when one is refused.
    std::string ReadSearch(const Params& params, SearchRequest& request, Charset charset) const;
    void Search(const httplib::Request& req, const Params& params, const std::string& user,
                httplib::Response& res, Charset charset);
    std::string LinkFor(const httplib::Request& req, const Document& d, Charset charset) const;
    // Where clients reach this service: --public-url, else the listen address.
    std::string PublicUrl(const httplib::Request& req) const;

    const FolderWatch* m_watch = nullptr;
    const ServerOptions& m_options;
    Backend& m_backend;
    Users& m_users;
};

} // namespace zdxserver
