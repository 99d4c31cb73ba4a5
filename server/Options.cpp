#include "Options.h"

#include "Words.h"

#include "text/Numbers.h"
#include "text/Version.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

namespace zdxserver {

namespace {

constexpr const char* kUsage =
    "Usage: zdx-server --listen HOST:PORT --index NAME=DIR [--index NAME=DIR ...]\n"
    "                  [--db FILE] [--users FILE] [--tls-cert FILE --tls-key FILE]\n"
    "                  [--base PATH] [--links path|url] [--public-url URL] [--rescan SECONDS]\n"
    "                  [--allow-anonymous] [--session-idle-minutes N] [--sessions-per-user N]\n"
    "       zdx-server --users FILE --add-user NAME   (password on standard input)\n"
    "  --listen HOST:PORT  where to listen; port 0 takes a free one (printed at start)\n"
    "  --index NAME=DIR    index the files under DIR as index NAME\n"
    "  --db FILE           the index database (default: one in ~/.cache/zdx-server)\n"
    "  --no-local-copy     with PostgreSQL: search the database itself instead of a copy\n"
    "                      of its documents that this process keeps in ~/.cache/zdx-server\n"
    "  --users FILE        user names and password hashes for signing in\n"
    "  --tls-cert, --tls-key  serve HTTPS with this certificate and key (PEM)\n"
    "  --base PATH         the servlet path (default lvsearch/SearchServlet)\n"
    "  --links path|url    hits link to the file's path (default) or to a URL served here\n"
    "  --public-url URL    with --links url: the address clients reach this service at\n"
    "                        (default: the listen address)\n"
    "  --trusted-proxy ADDR  a proxy in front whose X-Forwarded-For (or X-Real-IP) names\n"
    "                        the client; may be repeated\n"
    "  --rescan SECONDS    how often to bring the whole index up to date (default 600\n"
    "                      while the folders are watched, else 60)\n"
    "  --no-watch          do not follow the folders as they change (inotify); rescan only\n"
    "  --allow-anonymous   with --users, still answer searches and files without sign-in\n"
    "  --session-idle-minutes N  end sessions idle this long (default 720)\n"
    "  --sessions-per-user N     at most this many sessions a user (default 20)\n"
    "  --session-max-hours N     end sessions this long after sign-in (default 24)\n"
    "  --cache-mb N        keep recent answers up to N megabytes (default 48; 0: none)\n"
    "  --max-connections N        at most N connections open at once (default 4000)\n"
    "  --connections-per-address N  at most N of them from one address (default 256)\n"
    "  --request-seconds N  close a connection whose request has not all come in N seconds\n"
    "                      (default 10)\n"
    "  --idle-seconds N    close a connection idle for N seconds (default 10)\n"
    "  --exclude PATTERN   leave out files and folders matching PATTERN (a glob; without '/'\n"
    "                      a name anywhere, with '/' the path below the index folder);\n"
    "                      repeatable\n"
    "  --no-default-excludes  index .git, node_modules, __pycache__ and build* folders too\n"
    "  --max-file-mb N     index files over N megabytes by name only (default 100)\n"
    "  --language NAME=LANG  match the words of index NAME by their stems in LANG\n"
    "                      (a Snowball language: english (default), german, french, ...)\n"
    "  --help              display this help and exit\n"
    "  --version           output version information and exit\n";

CommandLine Exit(int code) {
    CommandLine line;
    line.action = CommandLine::Action::Exit;
    line.exitCode = code;
    return line;
}

CommandLine Usage(const std::string& problem) {
    std::fprintf(stderr, "zdx-server: %s\nTry 'zdx-server --help' for more information.\n",
                 problem.c_str());
    return Exit(2);
}

// A whole number for `option` within [min, max], or the message that says what it takes.
bool ReadNumber(const std::string& option, const std::string& text, const char* unit, int min,
                int max, int& value, std::string& problem) {
    if (const auto number = ReadWholeNumber(text, min, max)) {
        value = static_cast<int>(*number);
        return true;
    }
    problem = option + " takes a whole number" + unit + " from " + std::to_string(min) + " to " +
              std::to_string(max) + ", not '" + text + "'.";
    return false;
}

// --listen HOST:PORT, with brackets around an IPv6 host.
bool ReadListen(const std::string& text, ServerOptions& options, std::string& problem) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        problem = "--listen takes HOST:PORT";
        return false;
    }
    options.host = text.substr(0, colon);
    if (options.host.size() > 1 && options.host.front() == '[')
        options.host = options.host.substr(1, options.host.size() - 2);
    if (!ReadNumber("--listen", text.substr(colon + 1), " for the port", 0, 65535, options.port,
                    problem))
        return false;
    return true;
}

bool ReadIndex(const std::string& text, ServerOptions& options, std::string& problem) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        problem = "--index takes NAME=DIR";
        return false;
    }
    std::error_code ec;
    const auto root = std::filesystem::canonical(text.substr(eq + 1), ec);
    if (ec || !std::filesystem::is_directory(root)) {
        problem = "no such folder: " + text.substr(eq + 1);
        return false;
    }
    options.folders.push_back({text.substr(0, eq), root.string()});
    return true;
}

// One option that takes a value; false with the problem when the value will not do.
bool TakeValue(const std::string& arg, const std::string& value, CommandLine& line,
               std::string& problem) {
    ServerOptions& o = line.options;
    if (arg == "--listen")
        return ReadListen(value, o, problem);
    if (arg == "--index")
        return ReadIndex(value, o, problem);
    if (arg == "--rescan") {
        o.rescanGiven = true;
        return ReadNumber(arg, value, " of seconds", 1, 86400, o.rescanSeconds, problem);
    }
    if (arg == "--session-idle-minutes")
        return ReadNumber(arg, value, " of minutes", 1, 525600, o.sessionIdleMinutes, problem);
    if (arg == "--cache-mb")
        return ReadNumber(arg, value, " of megabytes", 0, 65536, o.cacheMb, problem);
    int* limit = arg == "--max-connections"           ? &o.limits.connections
                 : arg == "--connections-per-address" ? &o.limits.perAddress
                 : arg == "--request-seconds"         ? &o.limits.requestSeconds
                 : arg == "--idle-seconds"            ? &o.limits.idleSeconds
                                                      : nullptr;
    if (limit)
        return ReadNumber(arg, value, arg.find("seconds") != std::string::npos ? " of seconds" : "",
                          1, 1000000, *limit, problem);
    if (arg == "--max-file-mb") {
        int megabytes = 0;
        if (!ReadNumber(arg, value, " of megabytes", 1, 1000000, megabytes, problem))
            return false;
        o.scanRules.maxFileBytes = static_cast<std::int64_t>(megabytes) << 20;
        return true;
    }
    if (arg == "--language") {
        const std::size_t eq = value.find('=');
        const std::string language = eq == std::string::npos ? "" : value.substr(eq + 1);
        if (eq == std::string::npos || eq == 0)
            problem = "--language takes NAME=LANG";
        else if (!IsStemmerLanguage(language))
            problem = "no stemmer for '" + language + "'; one of: " + StemmerLanguages();
        o.languages.emplace_back(value.substr(0, eq), language);
        return problem.empty();
    }
    if (arg == "--exclude") {
        if (value.empty())
            problem = "--exclude takes a pattern";
        o.scanRules.excludes.push_back(value);
        return problem.empty();
    }
    if (arg == "--session-max-hours")
        return ReadNumber(arg, value, " of hours", 1, 8760, o.sessionMaxHours, problem);
    if (arg == "--sessions-per-user")
        return ReadNumber(arg, value, "", 1, 100000, o.sessionsPerUser, problem);
    if (arg == "--links") {
        if (value != "path" && value != "url")
            problem = "--links takes path or url";
        o.linksAsUrls = value == "url";
        return problem.empty();
    }
    if (arg == "--trusted-proxy") {
        o.trustedProxies.push_back(value);
        return true;
    }
    if (arg == "--public-url") {
        if (value.rfind("http://", 0) != 0 && value.rfind("https://", 0) != 0)
            problem = "--public-url takes an http:// or https:// address, not '" + value + "'.";
        o.publicUrl = value;
        while (!o.publicUrl.empty() && o.publicUrl.back() == '/')
            o.publicUrl.pop_back();
        return problem.empty();
    }
    if (arg == "--base") {
        o.base = value;
        while (!o.base.empty() && o.base.front() == '/')
            o.base.erase(0, 1);
        return true;
    }
    std::string* text = arg == "--db"         ? &o.db
                        : arg == "--users"    ? &o.usersFile
                        : arg == "--tls-cert" ? &o.certFile
                        : arg == "--tls-key"  ? &o.keyFile
                                              : &line.addUser;
    *text = value;
    return true;
}

bool TakesValue(const std::string& arg) {
    for (const char* option : {"--listen",
                               "--index",
                               "--db",
                               "--users",
                               "--tls-cert",
                               "--tls-key",
                               "--base",
                               "--links",
                               "--public-url",
                               "--trusted-proxy",
                               "--rescan",
                               "--session-idle-minutes",
                               "--session-max-hours",
                               "--sessions-per-user",
                               "--cache-mb",
                               "--add-user",
                               "--exclude",
                               "--max-file-mb",
                               "--language",
                               "--max-connections",
                               "--connections-per-address",
                               "--request-seconds",
                               "--idle-seconds"})
        if (arg == option)
            return true;
    return false;
}

// The checks across options, once all are read.
CommandLine Checked(CommandLine line, bool listenGiven) {
    const ServerOptions& o = line.options;
    if (!line.addUser.empty()) {
        if (o.usersFile.empty())
            return Usage("--add-user needs --users FILE");
        line.action = CommandLine::Action::AddUser;
        return line;
    }
    if (!listenGiven)
        return Usage("--listen is needed");
    if (o.folders.empty())
        return Usage("give at least one --index NAME=DIR");
    if (o.certFile.empty() != o.keyFile.empty())
        return Usage("--tls-cert and --tls-key go together");
    if (o.db.empty())
        line.options.db = DefaultDatabasePath(o.folders);
    for (IndexedFolder& folder : line.options.folders)
        folder.rules = o.scanRules;
    for (const auto& [name, language] : o.languages) {
        auto& folders = line.options.folders;
        const auto folder = std::find_if(folders.begin(), folders.end(),
                                         [&](const IndexedFolder& f) { return f.name == name; });
        if (folder == folders.end())
            return Usage("--language names no index: " + name);
        folder->language = language;
    }
    return line;
}

} // namespace

CommandLine ParseCommandLine(int argc, char** argv) {
    CommandLine line;
    bool listenGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return Exit(0);
        }
        if (arg == "--version") {
            std::printf("zdx-server (ZDX) %s\n", kVersionNumber);
            return Exit(0);
        }
        if (arg == "--allow-anonymous") {
            line.options.allowAnonymous = true;
            continue;
        }
        if (arg == "--no-local-copy") {
            line.options.localCopy = false;
            continue;
        }
        if (arg == "--no-watch") {
            line.options.watch = false;
            continue;
        }
        if (arg == "--no-default-excludes") {
            std::erase_if(line.options.scanRules.excludes, [](const std::string& pattern) {
                return std::find(kDefaultExcludes.begin(), kDefaultExcludes.end(), pattern) !=
                       kDefaultExcludes.end();
            });
            continue;
        }
        if (!TakesValue(arg))
            return Usage("unknown argument " + arg);
        if (i + 1 >= argc)
            return Usage(arg + " needs a value");
        std::string problem;
        if (!TakeValue(arg, argv[++i], line, problem))
            return Usage(problem);
        listenGiven = listenGiven || arg == "--listen";
    }
    return Checked(std::move(line), listenGiven);
}

std::string DefaultDatabasePath(const std::vector<IndexedFolder>& folders) {
    std::string key;
    for (const auto& f : folders)
        key += f.name + "=" + f.root + ";";
    return (std::filesystem::path(CacheFolder()) /
            ("index-" + std::to_string(std::hash<std::string>{}(key)) + ".sqlite"))
        .string();
}

std::string CacheFolder() {
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const std::filesystem::path dir =
        cache && *cache
            ? std::filesystem::path(cache) / "zdx-server"
            : std::filesystem::path(home && *home ? home : "/tmp") / ".cache" / "zdx-server";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir.string();
}

} // namespace zdxserver
