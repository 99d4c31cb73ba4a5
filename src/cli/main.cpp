// zdx-query: the client without a window. It reads the same settings as zdx, sends the same
// request the search form would, and prints the hits as they arrive.
#include "cli/QueryOutput.h"
#include "config/Application.h"
#include "diag/ActivityLog.h"
#include "diag/FaultReport.h"
#include "net/FetchPage.h"
#include "profile/ProfileStore.h"
#include "search/HitText.h"
#include "search/QueryText.h"
#include "search/ResultList.h"
#include "signin/LoginRequest.h"
#include "signin/PasswordCells.h"
#include "text/Codepage.h"
#include "text/StringTable.h"
#include "text/Version.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kHelp =
    "Usage: zdx-query [OPTION]... [[--] QUERY]\n"
    "  or:  zdx-query [-f<path>] [-l] --settings\n"
    "Send QUERY to the search service named by the ZDX settings and print the hits,\n"
    "one line each, as they arrive.\n"
    "\n"
    "  -f<path>            read the settings from this file instead of the profile store\n"
    "  -l                  append an activity log to zdx.log in the current directory\n"
    "      --index N       search the index of box N (0-4, the settings Index0..Index4);\n"
    "                        may be repeated\n"
    "      --filename TEXT file-name filter, with * and ?\n"
    "      --date RANGE    only documents changed within RANGE: all, week, month,\n"
    "                        3months, 6months or year\n"
    "      --format FORMAT tsv (default): a heading line, then a line per hit;\n"
    "                        json: one object per hit\n"
    "      --user NAME     sign in as NAME before the search...\n"
    "      --password-stdin  ...with the password read from standard input (one line)\n"
    "      --logout        sign out after the search\n"
    "      --max-time SECONDS  give up on a request after SECONDS\n"
    "      --charset CHARSET   windows-1252 or utf-8: how texts travel (default: the\n"
    "                        setting Charset)\n"
    "      --status        print how the service's index is (documents, last scan,\n"
    "                        files it could not read)\n"
    "      --text LINK     print the text of the hit with this link (QUERY's words as\n"
    "                        the text holds them go to standard error)\n"
    "  -v, --verbose       show the connection progress on standard error\n"
    "  -q, --quiet         print nothing on standard error but errors\n"
    "      --settings      print the settings in effect and exit\n"
    "      --help          display this help and exit\n"
    "      --version       output version information and exit\n"
    "\n"
    "The connection progress goes to standard error with --verbose, or when standard error\n"
    "is a terminal; the hit count, the service's messages and the sign-in result are printed\n"
    "unless --quiet is given.\n"
    "\n"
    "Exit status: 0 when the service answered, 1 when a request failed or the output could\n"
    "not be written, 2 for a mistake in the options.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "zdx-query: %s\nTry 'zdx-query --help' for more information.\n",
                 problem.c_str());
    return 2;
}

enum class Verbosity { Quiet, Normal, Verbose };

// Status texts, the sign-in result and the hit count on standard error, as loud as asked.
class StderrPanes : public StatusPanes {
public:
    explicit StderrPanes(Verbosity verbosity) : m_verbosity(verbosity) {}

    void SetStatusText(const std::string& text) override {
        m_lastStatus = text;
        m_lastStatusShown = m_verbosity == Verbosity::Verbose;
        if (m_lastStatusShown)
            std::fprintf(stderr, "%s\n", text.c_str());
    }
    void SetAuthText(const std::string& user) override {
        if (!user.empty() && m_verbosity != Verbosity::Quiet)
            std::fprintf(stderr, "Signed in: %s\n", user.c_str());
    }
    void SetHitCount(int count) override {
        m_count = count;
        m_haveCount = true;
    }

    void ForgetCount() { m_haveCount = false; }
    // The hit count the page gave last, once.
    void PrintCount() const {
        if (m_haveCount && m_verbosity != Verbosity::Quiet)
            std::fprintf(stderr, "%s\n",
                         StringPrintf(Text(TextId::DocumentsFound).c_str(), m_count).c_str());
    }
    // The reason of a failure ("Status Code N was returned."), unless it is on the screen.
    void PrintFailure() const {
        if (!m_lastStatusShown && !m_lastStatus.empty())
            std::fprintf(stderr, "%s\n", m_lastStatus.c_str());
    }
    bool Quiet() const { return m_verbosity == Verbosity::Quiet; }

private:
    Verbosity m_verbosity;
    std::string m_lastStatus;
    bool m_lastStatusShown = false;
    int m_count = 0;
    bool m_haveCount = false;
};

// Hands each hit to the output as it is parsed; keeps no rows. While signing in, hits are
// dropped, as the result list drops them when the search starts.
class StreamedResults : public RequestSink {
public:
    explicit StreamedResults(StderrPanes& panes) : m_panes(panes) {}
    void SetOutput(QueryOutput* output) { m_output = output; }

    void ClearTips() override {}
    void Clear() override { m_panes.ForgetCount(); }
    void AppendHit(HitRow&& hit) override {
        if (m_output)
            m_output->Write(hit);
    }
    void SetHitCount(int count) override { m_panes.SetHitCount(count); }
    void SetSignedInUser(const std::string& user) override { m_panes.SetAuthText(user); }
    void ShowMessage(const std::string& text) override {
        if (!m_panes.Quiet())
            std::fprintf(stderr, "%s\n", text.c_str());
    }
    int ParseResultLine(std::string_view line) override {
        const int more = ResultList::ParseResultLine(line);
        // Output that cannot be written ends the transfer.
        return more && !(m_output && m_output->Failed()) ? 1 : 0;
    }
    void SetStatusText(const std::string& text) override { m_panes.SetStatusText(text); }
    void SetAuthText(const std::string& text) override { m_panes.SetAuthText(text); }

private:
    StderrPanes& m_panes;
    QueryOutput* m_output = nullptr;
};

// The password from standard input, as Windows-1252 bytes: one line, its line end removed.
// Returns false when it holds a character Windows-1252 cannot hold.
bool ReadPassword(std::string& password) {
    std::string line;
    for (int c; (c = std::fgetc(stdin)) != EOF && c != '\n';)
        line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    bool ok = false;
    password = Utf8ToCp1252(line, &ok);
    PasswordCells::WipeBytes(line.data(), true);
    return ok && password.find('\0') == std::string::npos;
}

// Reports output that could not be written; a reader that closed the pipe ends it quietly.
int OutputFailed(int error) {
    if (error != EPIPE)
        std::fprintf(stderr, "zdx-query: cannot write the output: %s\n", std::strerror(error));
    return 1;
}

// What the command line asks for.
struct QueryOptions {
    bool printSettings = false;
    bool json = false;
    bool passwordStdin = false;
    bool logout = false;
    double maxTime = 0;
    Verbosity verbosity = Verbosity::Normal;
    std::string user;
    std::string charset;  // empty: the settings'
    std::string textLink; // --text: print this hit's text instead of searching
    bool status = false;  // --status: print the service's status instead of searching
    SearchRequest form;
    std::vector<std::string> tokens; // the options zdx itself takes: -f and -l
};

// How an option parse ended: go on and run, or exit with `exitCode` (help, version, mistakes).
struct ParseResult {
    bool run = true;
    int exitCode = 0;
};

ParseResult Exit(int code) {
    return {false, code};
}

// One option that takes a value; `value` is null when the command line ends after it.
ParseResult TakeValueOption(const std::string& arg, const char* value, QueryOptions& options) {
    if (arg == "--index") {
        if (!value || std::strlen(value) != 1 || value[0] < '0' || value[0] >= '0' + kIndexBoxes)
            return Exit(Usage("--index takes a box number from 0 to 4"));
        options.form.ticked[value[0] - '0'] = true;
    } else if (arg == "--filename") {
        if (!value)
            return Exit(Usage("--filename takes a text"));
        options.form.filename = value;
    } else if (arg == "--date") {
        const DateRange* range = nullptr;
        for (const DateRange& r : kDateRanges)
            if (value && std::strcmp(value, r.word) == 0)
                range = &r;
        if (!range)
            return Exit(Usage("--date takes all, week, month, 3months, 6months or year"));
        options.form.dateSeconds = range->seconds;
    } else if (arg == "--format") {
        if (!value || (std::strcmp(value, "tsv") != 0 && std::strcmp(value, "json") != 0))
            return Exit(Usage("--format takes tsv or json"));
        options.json = std::strcmp(value, "json") == 0;
    } else if (arg == "--max-time") {
        char* end = nullptr;
        options.maxTime = value ? std::strtod(value, &end) : 0;
        if (!value || end == value || *end || !std::isfinite(options.maxTime) ||
            options.maxTime <= 0 || options.maxTime > 86400 * 365)
            return Exit(Usage("--max-time takes a number of seconds greater than 0"));
    } else if (arg == "--text") {
        if (!value || !*value)
            return Exit(Usage("--text takes a hit's link"));
        options.textLink = value;
    } else if (arg == "--charset") {
        if (!value ||
            (std::strcmp(value, kDefaultCharset) != 0 && std::strcmp(value, kUtf8Charset) != 0))
            return Exit(Usage("--charset takes windows-1252 or utf-8"));
        options.charset = value;
    } else if (arg == "--user") {
        if (!value)
            return Exit(Usage("--user takes a name"));
        options.user = value;
    }
    return {};
}

bool TakesValue(const std::string& arg) {
    for (const char* option : {"--index", "--filename", "--date", "--format", "--max-time",
                               "--user", "--charset", "--text"})
        if (arg == option)
            return true;
    return false;
}

// The checks across options, once all are read.
ParseResult CheckOptions(const QueryOptions& options) {
    if (options.user.empty() != !options.passwordStdin)
        return Exit(Usage("--user and --password-stdin go together"));
    return {};
}

// The texts the service could not receive with these settings; false after saying so.
bool TextsSendable(const QueryOptions& options, const ConnectionSettings& connection) {
    for (const std::string& text : {options.form.query, options.form.filename, options.user}) {
        const std::string refusal = UnsendableTextMessage(text, connection);
        if (!refusal.empty()) {
            std::fprintf(stderr, "%s\n", refusal.c_str());
            return false;
        }
    }
    return true;
}

ParseResult ParseOptions(int argc, char** argv, QueryOptions& options) {
    options.verbosity = isatty(STDERR_FILENO) ? Verbosity::Verbose : Verbosity::Normal;
    bool verbosityGiven = false, haveQuery = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (TakesValue(arg)) {
            const ParseResult r = TakeValueOption(arg, i + 1 < argc ? argv[++i] : nullptr, options);
            if (!r.run)
                return r;
        } else if (arg == "--settings") {
            options.printSettings = true;
        } else if (arg == "--status") {
            options.status = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return Exit(0);
        } else if (arg == "--version") {
            std::printf("zdx-query (ZDX) %s\n", kVersionNumber);
            return Exit(0);
        } else if (arg == "-v" || arg == "--verbose" || arg == "-q" || arg == "--quiet") {
            const Verbosity v =
                arg == "-q" || arg == "--quiet" ? Verbosity::Quiet : Verbosity::Verbose;
            if (verbosityGiven && v != options.verbosity)
                return Exit(Usage("--verbose and --quiet exclude each other"));
            options.verbosity = v;
            verbosityGiven = true;
        } else if (arg == "--password-stdin") {
            options.passwordStdin = true;
        } else if (arg == "--logout") {
            options.logout = true;
        } else if (arg == "--" && i + 1 < argc) {
            // What follows is the query, even when it starts with a dash ("-travel").
            if (haveQuery || i + 2 < argc)
                return Exit(Usage("give the query as one argument (quote it)"));
            options.form.query = argv[++i];
            haveQuery = true;
        } else if (arg.rfind("--", 0) == 0) {
            return Exit(Usage("unknown option " + arg));
        } else if (arg.size() >= 2 && arg[0] == '-' && (arg[1] == 'f' || arg[1] == 'l')) {
            options.tokens.push_back(arg);
        } else {
            if (haveQuery)
                return Exit(Usage("give the query as one argument (quote it)"));
            options.form.query = arg;
            haveQuery = true;
        }
    }
    return CheckOptions(options);
}

// Signs in with the password from standard input; the exit code when that fails, else 0.
int SignIn(const QueryOptions& options, const Settings& settings, StreamedResults& results,
           StderrPanes& panes, const RequestControl& control) {
    std::string password;
    if (!ReadPassword(password)) {
        PasswordCells::WipeBytes(password.data(), true);
        std::fputs("The search service cannot receive a character of the password. Please "
                   "remove it.\n",
                   stderr);
        return 2;
    }
    ProfileStore profileStore;
    const LoginOutcome login =
        RunLogin(options.user, password.c_str(), settings, results, profileStore, control);
    PasswordCells::WipeBytes(password.data(), true);
    if (login.confirmed)
        return 0;
    if (login.status != 200)
        panes.PrintFailure();
    std::fprintf(stderr, "%s\n", Text(TextId::LoginFailed).c_str());
    return 1;
}

// Signs in when asked, searches, prints the hits and signs out when asked.
// --status: the service's status, indented for reading.
int PrintStatus(const Settings& settings, const RequestControl& control, StderrPanes& panes) {
    const WholeAnswer answer =
        FetchWhole(MakeFetchOptions(settings.connection, control, &panes), "zdx-status", 16u << 20);
    if (answer.status != 200) {
        std::fprintf(stderr, "zdx-query: Status Code %d was returned.\n", answer.status);
        return 1;
    }
    const std::string text = IndentJson(answer.body);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return OutputFailed(errno);
    return 0;
}

// --text: the hit's text on standard output, the query's words in it on standard error.
int PrintHitText(const QueryOptions& options, const Settings& settings,
                 const RequestControl& control) {
    const HitText hit = FetchHitText(options.textLink, options.form.query, settings, control);
    if (!hit.ok) {
        std::fprintf(stderr, "zdx-query: This document's text is not available: %s.\n",
                     hit.problem.c_str());
        return 1;
    }
    if (options.verbosity != Verbosity::Quiet && !options.form.query.empty()) {
        std::string words;
        for (const std::string& w : hit.matches)
            words += (words.empty() ? "" : " ") + w;
        std::fprintf(stderr, "Matches: %s\n", words.c_str());
    }
    if (hit.cut && options.verbosity != Verbosity::Quiet)
        std::fprintf(stderr, "zdx-query: the text goes on past %zu bytes\n", hit.text.size());
    if (std::fwrite(hit.text.data(), 1, hit.text.size(), stdout) != hit.text.size() ||
        std::fflush(stdout) != 0)
        return OutputFailed(errno);
    return 0;
}

int Run(const QueryOptions& options, const Settings& settings) {
    RequestControl control;
    control.log = ProcessLog();
    if (options.maxTime > 0)
        control.timeouts.deadlineMs = std::max(1L, std::lround(options.maxTime * 1000));
    StderrPanes panes(options.verbosity);
    StreamedResults results(panes);
    if (options.passwordStdin) {
        const int failed = SignIn(options, settings, results, panes, control);
        if (failed)
            return failed;
    }
    if (!options.textLink.empty())
        return PrintHitText(options, settings, control);
    if (options.status)
        return PrintStatus(settings, control, panes);
    QueryOutput output(stdout, options.json ? QueryOutput::Format::Json : QueryOutput::Format::Tsv,
                       settings.Layout(), settings.Headings());
    results.SetOutput(&output);
    const int status = RunSearch(options.form, settings, results, control);
    results.SetOutput(nullptr);
    if (status == 200)
        output.FinishPage();
    const bool written = output.Flush();
    if (status != 200)
        panes.PrintFailure();
    else
        panes.PrintCount();
    const int logoutStatus = options.logout ? RunLogout(settings, results, control) : 200;
    if (logoutStatus != 200)
        panes.PrintFailure();
    if (!written)
        return OutputFailed(output.Error());
    return status == 200 && logoutStatus == 200 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    InstallFaultFilter();
    QueryOptions options;
    const ParseResult parsed = ParseOptions(argc, argv, options);
    if (!parsed.run)
        return parsed.exitCode;

    Application app;
    app.m_cmdLine = options.tokens;
    ProfileStore profileStore;
    app.StartUp(profileStore);
    if (!options.charset.empty())
        app.m_settings.connection.charset = options.charset;
    if (options.printSettings) {
        std::fputs(FormatSettingsReport(app.m_settings, app.m_iniFile).c_str(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : OutputFailed(errno);
    }
    for (int i = 0; i < kIndexBoxes; ++i) {
        if (options.form.ticked[i] && app.m_settings.index[i].empty()) {
            std::fprintf(stderr, "zdx-query: No index is set for box %d.\n", i);
            return 2;
        }
    }
    if (!TextsSendable(options, app.m_settings.connection))
        return 2;
    return Run(options, app.m_settings);
}
