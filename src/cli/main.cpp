// zdx-query: the client without a window. It reads the same settings as zdx, sends the same
// request the search form would, and prints the hits.
#include "cli/QueryOutput.h"
#include "config/Application.h"
#include "diag/FaultReport.h"
#include "profile/ProfileStore.h"
#include "search/QueryText.h"
#include "search/ResultList.h"
#include "signin/LoginRequest.h"
#include "signin/PasswordCells.h"
#include "text/Codepage.h"
#include "text/StringTable.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "usage: zdx-query [-f<path>] [-l] [--index N]... [--filename TEXT]\n"
    "                 [--date all|week|month|3months|6months|year] [--format tsv|json] [QUERY]\n"
    "                 [--user NAME --password-stdin] [--logout]\n"
    "       zdx-query [-f<path>] [-l] --settings\n"
    "  -f<path>         read the settings from this file instead of the profile store\n"
    "  -l               append an activity log to zdx.log in the current directory\n"
    "  --index N        search the index of box N (0-4, the settings Index0..Index4)\n"
    "  --filename TEXT  file-name filter, with * and ?\n"
    "  --date RANGE     only documents changed within this range\n"
    "  --format FORMAT  tsv (default): a heading line, then a line per hit;\n"
    "                   json: one object per hit\n"
    "  --user NAME      sign in as NAME before the search...\n"
    "  --password-stdin ...with the password read from standard input (one line)\n"
    "  --logout         sign out after the search\n"
    "  --settings       print the settings in effect and exit\n";

// Status texts and the hit count go to standard error.
class StderrPanes : public StatusPanes {
public:
    void SetStatusText(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void SetAuthText(const std::string& user) override {
        if (!user.empty())
            std::fprintf(stderr, "Signed in: %s\n", user.c_str());
    }
    void SetHitCount(int count) override {
        std::fprintf(stderr, "%s\n",
                     StringPrintf(Text(TextId::DocumentsFound).c_str(), count).c_str());
    }
};

// The rows as the result list would hold them.
class QueryResults : public ResultList {
public:
    explicit QueryResults(const ColumnLayout& layout) { m_table.SetLayout(layout); }
    void ClearTipMap() override { m_table.ClearTips(); }
    void DeleteAllItems() override { m_table.ClearRows(); }
    void AppendHit(HitRow&& hit) override { m_table.Append(std::move(hit)); }
    void SetHitCount(int count) override { g_app.SetHitCount(count); }
    void SetSignedInUser(const std::string& user) override {
        g_app.m_userName = user;
        g_app.SetAuthText(user);
    }
    void ShowMessage(const std::string& text) override {
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    const ResultTable& Table() const { return m_table; }

private:
    ResultTable m_table;
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

int Usage(const char* problem) {
    if (problem)
        std::fprintf(stderr, "zdx-query: %s\n", problem);
    std::fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    InstallFaultFilter();
    bool printSettings = false;
    bool json = false;
    bool haveQuery = false;
    bool passwordStdin = false;
    bool logout = false;
    std::string user;
    SearchRequest form;
    std::vector<std::string> tokens; // the options zdx itself takes: -f and -l
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == "--settings") {
            printSettings = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--index") {
            const char* v = value();
            if (!v || std::strlen(v) != 1 || v[0] < '0' || v[0] >= '0' + kIndexBoxes)
                return Usage("--index takes a box number from 0 to 4");
            form.ticked[v[0] - '0'] = true;
        } else if (arg == "--filename") {
            const char* v = value();
            if (!v)
                return Usage("--filename takes a text");
            form.filename = v;
        } else if (arg == "--date") {
            const char* v = value();
            const DateRange* range = nullptr;
            for (const DateRange& r : kDateRanges)
                if (v && std::strcmp(v, r.word) == 0)
                    range = &r;
            if (!range)
                return Usage("--date takes all, week, month, 3months, 6months or year");
            form.dateSeconds = range->seconds;
        } else if (arg == "--format") {
            const char* v = value();
            if (!v || (std::strcmp(v, "tsv") != 0 && std::strcmp(v, "json") != 0))
                return Usage("--format takes tsv or json");
            json = std::strcmp(v, "json") == 0;
        } else if (arg == "--user") {
            const char* v = value();
            if (!v)
                return Usage("--user takes a name");
            user = v;
        } else if (arg == "--password-stdin") {
            passwordStdin = true;
        } else if (arg == "--logout") {
            logout = true;
        } else if (arg.rfind("--", 0) == 0) {
            return Usage(("unknown option " + arg).c_str());
        } else if (arg.size() >= 2 && arg[0] == '-' && (arg[1] == 'f' || arg[1] == 'l')) {
            tokens.push_back(arg);
        } else {
            if (haveQuery)
                return Usage("give the query as one argument (quote it)");
            form.query = arg;
            haveQuery = true;
        }
    }

    if (user.empty() != !passwordStdin)
        return Usage("--user and --password-stdin go together");

    g_app.m_cmdLine = tokens;
    ProfileStore profileStore;
    g_app.StartUp(profileStore);
    if (printSettings) {
        std::fputs(FormatSettingsReport(g_app).c_str(), stdout);
        return 0;
    }

    StderrPanes panes;
    g_app.m_statusPanes = &panes;
    QueryResults results(g_app.Layout());
    g_app.m_resultList = &results;
    if (passwordStdin) {
        std::string password;
        if (!ReadPassword(password)) {
            PasswordCells::WipeBytes(password.data(), true);
            std::fputs("zdx-query: the password holds a character Windows-1252 cannot hold\n",
                       stderr);
            return 2;
        }
        const LoginOutcome login = RunLogin(user, password.c_str(), profileStore);
        PasswordCells::WipeBytes(password.data(), true);
        if (!login.confirmed) {
            std::fprintf(stderr, "%s\n", Text(TextId::LoginFailed).c_str());
            return 1;
        }
    }
    const int status = RunSearch(form);
    const int logoutStatus = logout ? RunLogout() : 200;
    g_app.m_resultList = nullptr;
    g_app.m_statusPanes = nullptr;
    if (status != 200)
        return 1;

    std::vector<std::string> headings(g_app.m_heading, g_app.m_heading + g_app.m_columns);
    const std::string out =
        json ? FormatJson(results.Table(), headings) : FormatTsv(results.Table(), headings);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return logoutStatus == 200 ? 0 : 1;
}
