// zdx-server: a search service that speaks the ZDX client's protocol over a SQLite FTS5 index
// of local folders.
#include "Server.h"
#include "text/Version.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>

namespace {

std::atomic<bool> g_stop{false};

void OnSignal(int) {
    g_stop = true;
}

constexpr const char* kUsage =
    "Usage: zdx-server --listen HOST:PORT --index NAME=DIR [--index NAME=DIR ...]\n"
    "                  [--db FILE] [--users FILE] [--tls-cert FILE --tls-key FILE]\n"
    "                  [--base PATH] [--links path|url] [--rescan SECONDS]\n"
    "                  [--allow-anonymous] [--session-idle-minutes N] [--sessions-per-user N]\n"
    "       zdx-server --users FILE --add-user NAME   (password on standard input)\n"
    "  --listen HOST:PORT  where to listen; port 0 takes a free one (printed at start)\n"
    "  --index NAME=DIR    index the files under DIR as index NAME\n"
    "  --db FILE           the index database (default: one in ~/.cache/zdx-server)\n"
    "  --users FILE        user names and password hashes for signing in\n"
    "  --tls-cert, --tls-key  serve HTTPS with this certificate and key (PEM)\n"
    "  --base PATH         the servlet path (default lvsearch/SearchServlet)\n"
    "  --links path|url    hits link to the file's path (default) or to a URL served here\n"
    "  --rescan SECONDS    how often to bring the index up to date (default 60)\n"
    "  --allow-anonymous   with --users, still answer searches and files without sign-in\n"
    "  --session-idle-minutes N  end sessions idle this long (default 720)\n"
    "  --sessions-per-user N     at most this many sessions a user (default 20)\n"
    "  --help              display this help and exit\n"
    "  --version           output version information and exit\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "zdx-server: %s\nTry 'zdx-server --help' for more information.\n",
                 problem.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    zdxserver::ServerOptions options;
    std::string addUser;
    bool listenGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--help" || arg == "-h") {
                std::fputs(kUsage, stdout);
                return 0;
            } else if (arg == "--version") {
                std::printf("zdx-server (ZDX) %s\n", kVersionNumber);
                return 0;
            } else if (arg == "--listen") {
                const std::string listen = value();
                const std::size_t colon = listen.rfind(':');
                if (colon == std::string::npos)
                    return Usage("--listen takes HOST:PORT");
                options.host = listen.substr(0, colon);
                if (options.host.size() > 1 && options.host.front() == '[')
                    options.host = options.host.substr(1, options.host.size() - 2);
                options.port = std::stoi(listen.substr(colon + 1));
                if (options.port < 0 || options.port > 65535)
                    return Usage("the port must be 0 to 65535");
                listenGiven = true;
            } else if (arg == "--index") {
                const std::string indexArg = value();
                const std::size_t eq = indexArg.find('=');
                if (eq == std::string::npos || eq == 0)
                    return Usage("--index takes NAME=DIR");
                std::error_code ec;
                const auto root = std::filesystem::canonical(indexArg.substr(eq + 1), ec);
                if (ec || !std::filesystem::is_directory(root))
                    return Usage("no such folder: " + indexArg.substr(eq + 1));
                options.folders.push_back({indexArg.substr(0, eq), root.string()});
            } else if (arg == "--db") {
                options.db = value();
            } else if (arg == "--users") {
                options.usersFile = value();
            } else if (arg == "--tls-cert") {
                options.certFile = value();
            } else if (arg == "--tls-key") {
                options.keyFile = value();
            } else if (arg == "--base") {
                options.base = value();
                while (!options.base.empty() && options.base.front() == '/')
                    options.base.erase(0, 1);
            } else if (arg == "--links") {
                const std::string links = value();
                if (links != "path" && links != "url")
                    return Usage("--links takes path or url");
                options.linksAsUrls = links == "url";
            } else if (arg == "--rescan") {
                options.rescanSeconds = std::stoi(value());
            } else if (arg == "--allow-anonymous") {
                options.allowAnonymous = true;
            } else if (arg == "--session-idle-minutes") {
                options.sessionIdleMinutes = std::stoi(value());
            } else if (arg == "--sessions-per-user") {
                options.sessionsPerUser = std::stoi(value());
            } else if (arg == "--add-user") {
                addUser = value();
            } else {
                return Usage("unknown argument " + arg);
            }
        } catch (const std::exception& e) {
            return Usage(e.what());
        }
    }

    if (!addUser.empty()) {
        if (options.usersFile.empty())
            return Usage("--add-user needs --users FILE");
        std::string password;
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r')
            password.pop_back();
        std::string error;
        if (!zdxserver::Users::AddUser(options.usersFile, addUser, password, error)) {
            std::fprintf(stderr, "zdx-server: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (!listenGiven)
        return Usage("--listen is needed");
    if (options.folders.empty())
        return Usage("give at least one --index NAME=DIR");
    if (options.certFile.empty() != options.keyFile.empty())
        return Usage("--tls-cert and --tls-key go together");
    if (options.db.empty()) {
        std::string key;
        for (const auto& f : options.folders)
            key += f.name + "=" + f.root + ";";
        const char* cache = std::getenv("XDG_CACHE_HOME");
        const char* home = std::getenv("HOME");
        const std::filesystem::path dir =
            cache && *cache
                ? std::filesystem::path(cache) / "zdx-server"
                : std::filesystem::path(home && *home ? home : "/tmp") / ".cache" / "zdx-server";
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        options.db =
            (dir / ("index-" + std::to_string(std::hash<std::string>{}(key)) + ".sqlite")).string();
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    return zdxserver::RunServer(options, g_stop);
}
