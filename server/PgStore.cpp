#include "PgStore.h"

#include "Protocol.h"
#include "Query.h"
#include "Scan.h"
#include "SqliteStore.h"
#include "Words.h"

#include "text/Codepage.h"
#include "text/Numbers.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>

namespace zdxserver {

namespace {

// Advisory lock keys: the one-time creation of the tables, and the indexing role.
constexpr long long kSchemaLock = 0x5a4458000001;
constexpr long long kIndexingLock = 0x5a4458000002;

// A query's result that clears itself.
class Result {
public:
    explicit Result(PGresult* result) : m_result(result) {}
    ~Result() { PQclear(m_result); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    int Rows() const { return PQntuples(m_result); }
    std::string Text(int row, int column) const {
        return std::string(PQgetvalue(m_result, row, column),
                           static_cast<std::size_t>(PQgetlength(m_result, row, column)));
    }
    long long Int(int row, int column) const {
        return std::strtoll(PQgetvalue(m_result, row, column), nullptr, 10);
    }
    double Real(int row, int column) const {
        return std::strtod(PQgetvalue(m_result, row, column), nullptr);
    }

private:
    PGresult* m_result;
};

// Runs a statement with text parameters; throws with the server's message on failure. A
// search (`stoppable`) is cancelled in the database when the service is asked to stop, or
// when `stop` is set. A statement run on every search is kept prepared on each connection
// under the name `prepared`, prepared there on its first run.
std::unique_ptr<Result> Run(pg_conn* db, const char* sql,
                            const std::vector<std::string>& values = {}, bool stoppable = false,
                            const std::atomic<bool>* stop = nullptr,
                            const char* prepared = nullptr) {
    const auto stopping = [stop] { return ServiceStopping() || (stop && *stop); };
    std::vector<const char*> pointers;
    for (const std::string& v : values)
        pointers.push_back(v.c_str());
    const int count = static_cast<int>(pointers.size());
    // A statement sent: its result, waited for while cancelling it once the service stops.
    const auto waitFor = [&](int sent) -> PGresult* {
        if (!sent)
            return nullptr;
        bool cancelled = false;
        while (PQconsumeInput(db) && PQisBusy(db)) {
            if (!cancelled && stopping()) {
                char error[256];
                PGcancel* cancel = PQgetCancel(db);
                cancelled = cancel && PQcancel(cancel, error, sizeof error);
                PQfreeCancel(cancel);
            }
            pollfd wait{PQsocket(db), POLLIN, 0};
            poll(&wait, 1, 100);
        }
        // The last result is the statement's (or its failure).
        PGresult* last = nullptr;
        for (PGresult* next; (next = PQgetResult(db));) {
            PQclear(last);
            last = next;
        }
        return last;
    };
    const auto execute = [&]() -> PGresult* {
        if (!stoppable)
            return prepared
                       ? PQexecPrepared(db, prepared, count, pointers.data(), nullptr, nullptr, 0)
                       : PQexecParams(db, sql, count, nullptr, pointers.data(), nullptr, nullptr,
                                      0);
        return waitFor(
            prepared
                ? PQsendQueryPrepared(db, prepared, count, pointers.data(), nullptr, nullptr, 0)
                : PQsendQueryParams(db, sql, count, nullptr, pointers.data(), nullptr, nullptr, 0));
    };
    PGresult* result = execute();
    const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    if (prepared && state && std::string(state) == "26000") { // not prepared here yet
        PQclear(result);
        result = stoppable ? waitFor(PQsendPrepare(db, prepared, sql, count, nullptr))
                           : PQprepare(db, prepared, sql, count, nullptr);
        if (PQresultStatus(result) == PGRES_COMMAND_OK) {
            PQclear(result);
            result = execute();
        }
    }
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string message = PQerrorMessage(db);
        const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        const bool timedOut = state && std::string(state) == "57014"; // cancelled
        PQclear(result);
        if (timedOut && stoppable && stopping())
            throw std::runtime_error("the search was ended: the service is stopping");
        if (timedOut)
            throw SearchTooCostly();
        throw std::runtime_error("PostgreSQL: " + message);
    }
    return std::make_unique<Result>(result);
}

// Wakes the thread that waits on the eventfd (none: -1).
void WakeCopier(int eventFd) {
    const std::uint64_t one = 1;
    if (eventFd >= 0 && write(eventFd, &one, sizeof one) < 0) {
        // already woken
    }
}

// The number of the last change committed to the documents (0: none). Ends when the service
// stops (or `stop` is set), as a search does.
std::int64_t NewestChange(pg_conn* db, const std::atomic<bool>* stop = nullptr) {
    return Run(db,
               "SELECT greatest((SELECT max(seq) FROM zdx_docs), (SELECT max(seq) FROM "
               "zdx_gone), 0)",
               {}, true, stop, "zdx_newest")
        ->Int(0, 0);
}

// Paths and file names as PostgreSQL's text keeps them (it takes UTF-8 only): as they are when
// they are UTF-8; otherwise, or when they start with the mark, the mark U+FFFF and the bytes
// with '%' and those above ASCII percent-escaped.
const std::string kEscapedMark = "\xEF\xBF\xBF";

std::string Stored(const std::string& path) {
    if (IsValidUtf8(path) && path.rfind(kEscapedMark, 0) != 0)
        return path;
    std::string out = kEscapedMark;
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x80 && c != '%') {
            out += c;
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", b);
        out += hex;
    }
    return out;
}

std::string FromStore(const std::string& stored) {
    return stored.rfind(kEscapedMark, 0) == 0
               ? PercentDecode(std::string_view(stored).substr(kEscapedMark.size()))
               : stored;
}

// A pooled connection for one statement or transaction.
class Lease {
public:
    explicit Lease(PgPool& pool) : m_pool(pool), m_db(pool.Acquire()) {}
    ~Lease() { m_pool.Release(m_db); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    pg_conn* Db() const { return m_db; }

private:
    PgPool& m_pool;
    pg_conn* m_db;
};

std::string ArrayLiteral(const std::vector<std::string>& names) {
    std::string out = "{";
    for (std::size_t i = 0; i < names.size(); ++i) {
        out += i ? ",\"" : "\"";
        for (char c : names[i]) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

// The text-search configuration of an index's language: Snowball's stems without stop words
// (every word can be searched for, as with SQLite), diacritics removed where the database has
// the unaccent extension.
std::string TextConfig(const std::string& language) {
    return "zdx_" + language;
}

// Makes the configuration of each language; true when they fold diacritics.
bool MakeTextConfigs(pg_conn* db, const std::vector<std::string>& languages) {
    PQclear(PQexec(db, "SAVEPOINT unaccent"));
    PGresult* made = PQexec(db, "CREATE EXTENSION IF NOT EXISTS unaccent");
    const bool unaccent = PQresultStatus(made) == PGRES_COMMAND_OK;
    PQclear(made);
    PQclear(PQexec(db, unaccent ? "RELEASE SAVEPOINT unaccent" : "ROLLBACK TO SAVEPOINT unaccent"));
    if (!unaccent)
        std::fprintf(stderr, "zdx-server: the database has no unaccent extension; searches "
                             "there tell letters with diacritics from those without\n");
    // Quoted words and prefixes match the words as they stand, folded.
    if (Run(db, "SELECT 1 FROM pg_ts_config WHERE cfgname = 'zdx_exact'")->Rows() == 0) {
        Run(db, "CREATE TEXT SEARCH CONFIGURATION zdx_exact (COPY = simple)");
        if (unaccent)
            Run(db, "ALTER TEXT SEARCH CONFIGURATION zdx_exact ALTER MAPPING FOR asciiword, "
                    "asciihword, hword_asciipart, word, hword, hword_part WITH unaccent, simple");
    }
    for (const std::string& language : languages) {
        // Snowball names are letters only; "porter" is the older English stemmer.
        const std::string config = TextConfig(language);
        const std::string snowball = language == "porter" ? "english" : language;
        if (Run(db, "SELECT 1 FROM pg_ts_config WHERE cfgname = $1", {config})->Rows() > 0)
            continue;
        Run(db, ("CREATE TEXT SEARCH DICTIONARY " + config +
                 "_stem (TEMPLATE = snowball, "
                 "LANGUAGE = " +
                 snowball + ")")
                    .c_str());
        Run(db, ("CREATE TEXT SEARCH CONFIGURATION " + config + " (COPY = simple)").c_str());
        Run(db, ("ALTER TEXT SEARCH CONFIGURATION " + config +
                 " ALTER MAPPING FOR asciiword, asciihword, hword_asciipart, word, hword, "
                 "hword_part WITH " +
                 (unaccent ? "unaccent, " : "") + config + "_stem")
                    .c_str());
    }
    return unaccent;
}

// The PostgreSQL side of a scan: changes go in transactions committed every quarter second.
// Computes the words of the rows `where` selects ($1: the configuration): their stems, the
// title weighing more than the body, and the words as they stand.
void SetWords(pg_conn* db, const std::string& where, const std::vector<std::string>& values) {
    // The characters that are words of their own (CJK, symbols) apart, as SQLite has them.
    const std::string title = std::string("regexp_replace(coalesce(title, ''), '") +
                              kStandAlonePattern + "', ' \\1 ', 'g')";
    const std::string body = std::string("regexp_replace(coalesce(body, ''), '") +
                             kStandAlonePattern + "', ' \\1 ', 'g')";
    Run(db,
        ("UPDATE zdx_docs SET tsv = setweight(to_tsvector($1::regconfig, " + title +
         "), 'A') || setweight(to_tsvector($1::regconfig, " + body +
         "), 'B'), tsx = to_tsvector('zdx_exact', " + title + ") || to_tsvector('zdx_exact', " +
         body + ") WHERE " + where)
            .c_str(),
        values);
}

// `text` with each "$%s" replaced by `parameter`.
std::string WithParameter(const std::string& text, const std::string& parameter) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t mark = std::min(text.find("$%s", at), text.size());
        out += text.substr(at, mark - at) + (mark < text.size() ? parameter : "");
        at = mark + 3;
    }
    return out;
}

// The condition a row meets for a query: its words by their stems in any of the languages
// (`stems`, with $%s for the parameter), quoted words and prefixes as they stand. The words
// go in as parameters, from the fourth on.
std::string Condition(const QueryNode& node, const std::string& stems,
                      std::vector<std::string>& values) {
    auto parameter = [&](std::string tsquery) {
        values.push_back(std::move(tsquery));
        return "$" + std::to_string(values.size());
    };
    // A word of characters that stand alone is the phrase of them.
    if (node.kind == QueryNode::Kind::Word || node.kind == QueryNode::Kind::Phrase) {
        QueryNode pieces = node;
        pieces.words.clear();
        for (const std::string& w :
             node.kind == QueryNode::Kind::Word ? std::vector<std::string>{node.text} : node.words)
            for (std::string& piece : WordPieces(w))
                pieces.words.push_back(std::move(piece));
        if (pieces.words.size() > 1 && node.kind == QueryNode::Kind::Word) {
            pieces.kind = QueryNode::Kind::Phrase;
            const std::string p = parameter(TsQuerySyntax(pieces));
            return "tsv @@ " + WithParameter(stems, p);
        }
        if (node.kind == QueryNode::Kind::Phrase)
            return "tsx @@ to_tsquery('zdx_exact', " + parameter(TsQuerySyntax(pieces)) + ")";
    }
    switch (node.kind) {
    case QueryNode::Kind::Word:
        if (!node.prefix) {
            return "tsv @@ " + WithParameter(stems, parameter(TsQuerySyntax(node)));
        }
        [[fallthrough]];
    case QueryNode::Kind::Phrase:
        return "tsx @@ to_tsquery('zdx_exact', " + parameter(TsQuerySyntax(node)) + ")";
    case QueryNode::Kind::Not:
        return "NOT (" + Condition(node.children[0], stems, values) + ")";
    case QueryNode::Kind::And:
    case QueryNode::Kind::Or: {
        std::string out;
        for (const QueryNode& child : node.children)
            out += (out.empty()                         ? "("
                    : node.kind == QueryNode::Kind::And ? " AND "
                                                        : " OR ") +
                   Condition(child, stems, values);
        return out + ")";
    }
    }
    return "false";
}

class PgScan : public ScanTarget {
public:
    PgScan(pg_conn* db, std::map<std::string, std::string> configs)
        : m_db(db), m_configs(std::move(configs)) {
        Run(m_db, "BEGIN");
    }
    ~PgScan() override {
        if (m_open)
            PQclear(PQexec(m_db, "ROLLBACK"));
    }
    std::int64_t Put(const FileChange& c) override {
        // A title taken from a file name that is not UTF-8 is shown as well as it can be.
        const std::vector<std::string> values = {c.folder->name,
                                                 Stored(c.path),
                                                 Stored(c.name),
                                                 c.text.format,
                                                 c.text.author,
                                                 std::to_string(c.size),
                                                 std::to_string(c.mtime),
                                                 std::to_string(c.mtimeNs),
                                                 std::to_string(c.inode),
                                                 ValidUtf8(c.text.title),
                                                 c.summary,
                                                 c.text.body};
        // The row first, then its words from what it holds.
        std::int64_t id = c.id;
        if (id < 0) {
            id = Run(m_db,
                     "INSERT INTO zdx_docs(idx, path, name, format, author, size, mtime, "
                     "mtime_ns, inode, title, summary, body) VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,"
                     "$10,$11,$12) ON CONFLICT (idx, path) DO UPDATE SET name=EXCLUDED.name "
                     "RETURNING id",
                     values)
                     ->Int(0, 0);
        } else {
            std::vector<std::string> update = values;
            update.push_back(std::to_string(id));
            Run(m_db,
                "UPDATE zdx_docs SET name=$3, format=$4, author=$5, size=$6, mtime=$7, "
                "mtime_ns=$8, inode=$9, title=$10, summary=$11, body=$12 WHERE id=$13 AND "
                "idx=$1 AND path=$2",
                update);
        }
        SetWords(m_db, "id = $2", {m_configs[c.folder->name], std::to_string(id)});
        return id;
    }
    void Remove(std::int64_t id) override {
        Run(m_db, "DELETE FROM zdx_docs WHERE id=$1", {std::to_string(id)});
    }
    void Tick() override {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastCommit >= std::chrono::milliseconds(250)) {
            Run(m_db, "COMMIT");
            Run(m_db, "BEGIN");
            m_lastCommit = now;
        }
    }
    void Commit() {
        Run(m_db, "COMMIT");
        m_open = false;
    }

private:
    pg_conn* m_db;
    std::map<std::string, std::string> m_configs; // index name: text-search configuration
    bool m_open = true;
    std::chrono::steady_clock::time_point m_lastCommit = std::chrono::steady_clock::now();
};

// Sessions every node sees. The table keeps only a hash of each session id: whoever reads the
// database cannot take over a session with what it finds there.
class PgSessions : public SessionStore {
public:
    PgSessions(PgPool& pool, std::chrono::minutes idle, std::size_t perUser,
               std::chrono::hours lifetime)
        : m_pool(pool), m_idle(std::to_string(idle.count()) + " minutes"),
          m_perUser(std::to_string(perUser)),
          m_lifetime(std::to_string(lifetime.count()) + " hours") {}
    std::string Create(const std::string& user) override {
        const std::string id = NewSessionId();
        Lease db(m_pool);
        Run(db.Db(), "INSERT INTO zdx_sessions(id, username) VALUES($1, $2)", {Hashed(id), user});
        // The user's oldest sessions beyond the limit end.
        Run(db.Db(),
            "DELETE FROM zdx_sessions WHERE id IN (SELECT id FROM zdx_sessions WHERE "
            "username=$1 ORDER BY used DESC OFFSET $2)",
            {user, m_perUser});
        return id;
    }
    std::string UserOf(const std::string& id) override {
        if (id.empty())
            return {};
        Lease db(m_pool);
        auto user = Run(db.Db(),
                        "UPDATE zdx_sessions SET used=now() WHERE id=$1 AND used > now() - "
                        "$2::interval AND created > now() - $3::interval RETURNING username",
                        {Hashed(id), m_idle, m_lifetime});
        if (user->Rows() == 0) {
            Run(db.Db(), "DELETE FROM zdx_sessions WHERE id=$1", {Hashed(id)});
            return {};
        }
        return user->Text(0, 0);
    }
    void End(const std::string& id) override {
        Lease db(m_pool);
        Run(db.Db(), "DELETE FROM zdx_sessions WHERE id=$1", {Hashed(id)});
    }
    void EndUser(const std::string& user) override {
        Lease db(m_pool);
        Run(db.Db(), "DELETE FROM zdx_sessions WHERE username=$1", {user});
    }

private:
    static std::string Hashed(const std::string& id) {
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(reinterpret_cast<const unsigned char*>(id.data()), id.size(), digest);
        static const char* hex = "0123456789abcdef";
        std::string out;
        for (unsigned char b : digest) {
            out += hex[b >> 4];
            out += hex[b & 15];
        }
        return out;
    }

    PgPool& m_pool;
    std::string m_idle, m_perUser, m_lifetime;
};

// Sign-in counters every node sees: failures by address and by name, in one table.
class PgSignInCounters : public SignInCounters {
    static std::int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
    template <class Work> auto Transaction(Work work) {
        Lease db(m_pool);
        Run(db.Db(), "BEGIN");
        try {
            auto result = work(db.Db());
            Run(db.Db(), "COMMIT");
            return result;
        } catch (...) {
            PQclear(PQexec(db.Db(), "ROLLBACK"));
            throw;
        }
    }
    // The record of a key, locked for the transaction (created first when `create`); nothing
    // when there is none.
    static std::optional<Record> Lock(pg_conn* db, const char* kind, const std::string& key,
                                      bool create) {
        if (create)
            Run(db, "INSERT INTO zdx_signin(kind, key) VALUES($1, $2) ON CONFLICT DO NOTHING",
                {kind, key});
        auto row = Run(db,
                       "SELECT failures, checking, until_ms, check_start_ms, window_start_ms, "
                       "window_checks FROM zdx_signin WHERE kind=$1 AND key=$2 FOR UPDATE",
                       {kind, key});
        if (row->Rows() == 0)
            return std::nullopt;
        Record r;
        r.failures = static_cast<int>(row->Int(0, 0));
        r.checking = static_cast<int>(row->Int(0, 1));
        r.untilMs = row->Int(0, 2);
        r.checkStartMs = row->Int(0, 3);
        r.windowStartMs = row->Int(0, 4);
        r.windowChecks = static_cast<int>(row->Int(0, 5));
        return r;
    }
    static void Store(pg_conn* db, const char* kind, const std::string& key, const Record& r) {
        Run(db,
            "INSERT INTO zdx_signin(kind, key, failures, checking, until_ms, check_start_ms, "
            "window_start_ms, window_checks) VALUES($1,$2,$3,$4,$5,$6,$7,$8) ON CONFLICT(kind, "
            "key) "
            "DO UPDATE SET failures=$3, checking=$4, until_ms=$5, check_start_ms=$6, "
            "window_start_ms=$7, window_checks=$8",
            {kind, key, std::to_string(r.failures), std::to_string(r.checking),
             std::to_string(r.untilMs), std::to_string(r.checkStartMs),
             std::to_string(r.windowStartMs), std::to_string(r.windowChecks)});
    }
    // Rows with nothing to hold against anyone for a day are dropped, now and then.
    static void ForgetOld(pg_conn* db, std::int64_t now) {
        static std::atomic<std::int64_t> last{0};
        if (now - last.load() < 60000)
            return;
        last = now;
        Run(db,
            "DELETE FROM zdx_signin WHERE until_ms < $1 AND check_start_ms < $1 AND "
            "window_start_ms < $1",
            {std::to_string(now - 24 * 3600 * 1000LL)});
    }

public:
    explicit PgSignInCounters(PgPool& pool) : m_pool(pool) {}

    bool Allowed(const std::string& address, const std::string& name, Clock::time_point) override {
        return Transaction([&](pg_conn* db) {
            // A refusal writes nothing: rows are made or changed only for a check.
            const std::optional<Record> a = Lock(db, "a", address, false);
            const std::optional<Record> n = Lock(db, "n", name, false);
            Record ar = a.value_or(Record()), nr = n.value_or(Record());
            const std::int64_t now = NowMs();
            if (!Allow(ar, nr, now))
                return false;
            Store(db, "a", address, ar);
            if (n || nr.windowChecks > 0)
                Store(db, "n", name, nr);
            ForgetOld(db, now);
            return true;
        });
    }
    Clock::duration Failed(const std::string& address, const std::string& name,
                           Clock::time_point) override {
        return std::chrono::milliseconds(Transaction([&](pg_conn* db) {
            Record a = *Lock(db, "a", address, true), n = *Lock(db, "n", name, true);
            const std::int64_t wait = Fail(a, n, NowMs());
            Store(db, "a", address, a);
            Store(db, "n", name, n);
            return wait;
        }));
    }
    Clock::duration RetryAfter(const std::string& address, const std::string& name,
                               Clock::time_point) override {
        return std::chrono::milliseconds(Transaction([&](pg_conn* db) {
            return WaitMs(Lock(db, "a", address, false).value_or(Record()),
                          Lock(db, "n", name, false).value_or(Record()), NowMs());
        }));
    }
    void Succeeded(const std::string& address, const std::string& name) override {
        Lease db(m_pool);
        // As in memory: the name is cleared, the address keeps its failures.
        Run(db.Db(),
            "UPDATE zdx_signin SET checking=GREATEST(checking-1, 0) WHERE kind='a' AND "
            "key=$1",
            {address});
        Run(db.Db(), "DELETE FROM zdx_signin WHERE kind='n' AND key=$1", {name});
    }

private:
    PgPool& m_pool;
};

} // namespace

bool IsPostgresUrl(const std::string& db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

PgPool::PgPool(std::string url, std::size_t limit) : m_url(std::move(url)), m_limit(limit) {}

PgPool::~PgPool() {
    for (pg_conn* db : m_idle)
        PQfinish(db);
}

pg_conn* PgPool::Open() const {
    pg_conn* db = PQconnectdb(m_url.c_str());
    if (PQstatus(db) != CONNECTION_OK) {
        const std::string message = PQerrorMessage(db);
        PQfinish(db);
        throw std::runtime_error("cannot connect to PostgreSQL: " + message);
    }
    PQclear(PQexec(db, "SET client_min_messages = warning"));
    return db;
}

pg_conn* PgPool::Acquire() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_free.wait(lock, [&] { return !m_idle.empty() || m_count < m_limit; });
    if (!m_idle.empty()) {
        pg_conn* db = m_idle.back();
        m_idle.pop_back();
        if (PQstatus(db) == CONNECTION_OK)
            return db;
        PQfinish(db); // the server went away: a new connection instead
        --m_count;
    }
    ++m_count;
    lock.unlock();
    try {
        return Open();
    } catch (...) {
        std::lock_guard<std::mutex> again(m_mutex);
        --m_count;
        m_free.notify_one();
        throw;
    }
}

void PgPool::Release(pg_conn* db) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_idle.push_back(db);
    }
    m_free.notify_one();
}

PgStore::PgStore(const std::string& url, std::vector<IndexedFolder> folders)
    : m_folders(std::move(folders)), m_pool(url) {
    Lease db(m_pool);
    // Two processes starting together create the tables once.
    Run(db.Db(), "BEGIN");
    Run(db.Db(), "SELECT pg_advisory_xact_lock($1)", {std::to_string(kSchemaLock)});
    Run(db.Db(),
        "CREATE TABLE IF NOT EXISTS zdx_docs(id bigserial PRIMARY KEY, idx text NOT NULL, "
        "path text NOT NULL, name text NOT NULL, title text, summary text, format text, "
        "author text, size bigint, mtime bigint, mtime_ns bigint, inode bigint, body text, "
        "tsv tsvector, UNIQUE(idx, path))");
    Run(db.Db(), "CREATE INDEX IF NOT EXISTS zdx_docs_tsv ON zdx_docs USING gin(tsv)");
    Run(db.Db(), "ALTER TABLE zdx_docs ADD COLUMN IF NOT EXISTS tsx tsvector");
    Run(db.Db(), "CREATE INDEX IF NOT EXISTS zdx_docs_tsx ON zdx_docs USING gin(tsx)");
    // Each index's words in its language; an index whose language (or folding) changed since
    // its words were computed gets them again.
    m_languages = LanguagesOf(m_folders);
    const bool folds = MakeTextConfigs(db.Db(), m_languages);
    // A query finds a document when all its words match in one of the languages.
    for (const std::string& language : m_languages)
        m_stemQuery += (m_stemQuery.empty() ? "(" : " || ") +
                       ("to_tsquery('" + TextConfig(language) + "', $%s)");
    m_stemQuery += ")";
    Run(db.Db(), "CREATE TABLE IF NOT EXISTS zdx_meta(key text PRIMARY KEY, value text)");
    for (const IndexedFolder& f : m_folders) {
        const std::string key = "words:" + f.name;
        const std::string words = TextConfig(f.language) + "+exact" + (folds ? "+unaccent" : "");
        auto stored = Run(db.Db(), "SELECT value FROM zdx_meta WHERE key = $1", {key});
        if (stored->Rows() > 0 && stored->Text(0, 0) == words)
            continue;
        SetWords(db.Db(), "idx = $2", {TextConfig(f.language), f.name});
        Run(db.Db(),
            "INSERT INTO zdx_meta(key, value) VALUES($1, $2) ON CONFLICT (key) DO "
            "UPDATE SET value = EXCLUDED.value",
            {key, words});
    }
    Run(db.Db(), "CREATE INDEX IF NOT EXISTS zdx_docs_mtime ON zdx_docs(mtime)");
    // Every change of a document's fields or text takes the next number of one sequence, and
    // a removed document leaves its index, path and number behind: a node's own copy of the
    // documents takes the changes after the last it holds, in the order they were made. Each
    // committed change is announced on the channel zdx_changes (once a transaction).
    // (One process writes at a time, so the numbers are committed in their order. A change of
    // the words alone, as when an index's language changes, is no change here.)
    for (const char* statement :
         {"CREATE SEQUENCE IF NOT EXISTS zdx_changes",
          "ALTER TABLE zdx_docs ADD COLUMN IF NOT EXISTS seq bigint",
          "CREATE TABLE IF NOT EXISTS zdx_gone(seq bigint PRIMARY KEY, idx text NOT NULL, "
          "path text NOT NULL, at timestamptz NOT NULL DEFAULT now())",
          "ALTER TABLE zdx_gone ADD COLUMN IF NOT EXISTS at timestamptz NOT NULL DEFAULT now()",
          "CREATE OR REPLACE FUNCTION zdx_changed() RETURNS trigger LANGUAGE plpgsql AS $$ "
          "BEGIN NEW.seq := nextval('zdx_changes'); PERFORM pg_notify('zdx_changes', ''); "
          "RETURN NEW; END $$",
          "CREATE OR REPLACE FUNCTION zdx_removed() RETURNS trigger LANGUAGE plpgsql AS $$ "
          "BEGIN INSERT INTO zdx_gone(seq, idx, path) VALUES(nextval('zdx_changes'), "
          "OLD.idx, OLD.path); PERFORM pg_notify('zdx_changes', ''); RETURN NULL; END $$",
          "CREATE OR REPLACE TRIGGER zdx_docs_changed BEFORE INSERT OR UPDATE OF idx, path, "
          "name, title, summary, format, author, size, mtime, mtime_ns, inode, body ON "
          "zdx_docs FOR EACH ROW EXECUTE FUNCTION zdx_changed()",
          "CREATE OR REPLACE TRIGGER zdx_docs_removed AFTER DELETE ON zdx_docs FOR EACH ROW "
          "EXECUTE FUNCTION zdx_removed()",
          "UPDATE zdx_docs SET seq = nextval('zdx_changes') WHERE seq IS NULL",
          "CREATE INDEX IF NOT EXISTS zdx_docs_seq ON zdx_docs(seq)"})
        Run(db.Db(), statement);
    Run(db.Db(), "CREATE TABLE IF NOT EXISTS zdx_sessions(id text PRIMARY KEY, username text "
                 "NOT NULL, used timestamptz NOT NULL DEFAULT now())");
    // Sessions end after an absolute lifetime too; ids are kept hashed (sessions of an older
    // table, whose ids were kept as they are, can no longer be found and lapse).
    Run(db.Db(), "ALTER TABLE zdx_sessions ADD COLUMN IF NOT EXISTS created timestamptz NOT NULL "
                 "DEFAULT now()");
    Run(db.Db(), "CREATE TABLE IF NOT EXISTS zdx_signin(kind text NOT NULL, key text NOT NULL, "
                 "failures int NOT NULL DEFAULT 0, checking int NOT NULL DEFAULT 0, until_ms "
                 "bigint NOT NULL DEFAULT 0, PRIMARY KEY(kind, key))");
    // When a check began (one cut short lapses) and the per-name rate's window.
    Run(db.Db(), "ALTER TABLE zdx_signin ADD COLUMN IF NOT EXISTS check_start_ms bigint NOT NULL "
                 "DEFAULT 0, ADD COLUMN IF NOT EXISTS window_start_ms bigint NOT NULL DEFAULT 0, "
                 "ADD COLUMN IF NOT EXISTS window_checks int NOT NULL DEFAULT 0");
    Run(db.Db(), "COMMIT");
}

PgStore::~PgStore() {
    if (m_copier.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_copyMutex);
            m_stopCopying = true;
        }
        WakeCopier(m_copyWake);
        m_copier.join();
    }
    if (m_copyWake >= 0)
        close(m_copyWake);
    if (m_copyDb)
        PQfinish(m_copyDb);
    m_copy.reset();
    if (!m_copyFolder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_copyFolder, ec);
        close(m_copyLock);
    }
    if (m_lockConnection)
        PQfinish(m_lockConnection); // ends the indexing role
}

ScanStats PgStore::Scan() {
    std::lock_guard<std::mutex> scanning(m_scanMutex);
    // The lock lives as long as its connection: when PostgreSQL restarted or the connection
    // broke, it is gone, and the role is open to whoever takes it first, this node included.
    if (m_lockConnection) {
        PGresult* alive = PQexec(m_lockConnection, "SELECT 1");
        const bool ok = PQresultStatus(alive) == PGRES_TUPLES_OK;
        PQclear(alive);
        if (!ok) {
            PQfinish(m_lockConnection);
            m_lockConnection = nullptr;
            if (m_indexing)
                std::fprintf(stderr, "zdx-server: the indexing role went with the database "
                                     "connection; taking it again if no other node has\n");
            m_indexing = false;
        }
    }
    if (!m_indexing) {
        // The role goes to whoever takes the lock; it is freed when its holder's process ends.
        if (!m_lockConnection)
            m_lockConnection = m_pool.Open();
        m_indexing = Run(m_lockConnection, "SELECT pg_try_advisory_lock($1)",
                         {std::to_string(kIndexingLock)})
                         ->Text(0, 0) == "t";
        if (!m_indexing)
            return {};
        std::fprintf(stderr, "zdx-server: this node indexes\n");
    }
    Lease db(m_pool);
    std::unordered_map<std::string, KnownFile> known;
    {
        auto all = Run(db.Db(), "SELECT id, idx, path, size, mtime_ns, inode FROM zdx_docs");
        for (int r = 0; r < all->Rows(); ++r)
            known[KnownFileKey(all->Text(r, 1), FromStore(all->Text(r, 2)))] = {
                all->Int(r, 0), all->Int(r, 3), all->Int(r, 4), all->Int(r, 5), false};
    }
    std::map<std::string, std::string> configs;
    for (const IndexedFolder& f : m_folders)
        configs[f.name] = TextConfig(f.language);
    PgScan target(db.Db(), std::move(configs));
    ScanStats stats = ScanFolders(m_folders, known, target);
    target.Commit();
    // Fresh statistics after a change, or the planner guesses the full-text index useless and
    // scans every row until autovacuum comes by.
    // The full-text index takes new entries into a pending list that every search reads
    // through until it is merged: merged here, right after the scan.
    // A document written leaves a dead version of its row behind (the row, then its words):
    // after many, they are vacuumed now rather than by autovacuum while searches run.
    const int changes = stats.added + stats.updated + stats.removed;
    if (changes > 0) {
        Run(db.Db(), changes >= 1000 ? "VACUUM (ANALYZE) zdx_docs" : "ANALYZE zdx_docs");
        // Removals are kept an hour for the copies; a copy that had not taken one dropped
        // here is made again (see TakeChanges).
        Run(db.Db(), "WITH dropped AS (DELETE FROM zdx_gone WHERE at < now() - interval '1 hour' "
                     "RETURNING seq) INSERT INTO zdx_meta(key, value) SELECT 'gone:dropped', "
                     "max(seq)::text FROM dropped HAVING count(*) > 0 ON CONFLICT (key) DO "
                     "UPDATE SET value = EXCLUDED.value");
        Run(db.Db(), "SELECT gin_clean_pending_list('zdx_docs_tsv'::regclass)");
        Run(db.Db(), "SELECT gin_clean_pending_list('zdx_docs_tsx'::regclass)");
    }
    return stats;
}

void PgStore::KeepCopy(const std::string& parent, std::size_t cacheBytes, bool follow,
                       std::chrono::milliseconds check) {
    namespace fs = std::filesystem;
    // The folders of copies whose process has ended (nothing holds their lock) go first.
    std::error_code ec;
    fs::create_directories(parent, ec);
    for (const auto& entry : fs::directory_iterator(parent, ec)) {
        if (entry.path().filename().string().rfind("copy-", 0) != 0)
            continue;
        const int fd = open((entry.path() / "lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            fs::remove_all(entry.path(), ec);
        close(fd);
    }
    std::string folder = (fs::path(parent) / "copy-XXXXXX").string();
    if (!mkdtemp(folder.data()))
        throw std::runtime_error("cannot make a folder in " + parent + ": " + std::strerror(errno));
    m_copyFolder = folder;
    m_copyCacheBytes = cacheBytes;
    try {
        // The lock is held before its file takes its name: another process never finds it free.
        const std::string lock = folder + "/lock";
        m_copyLock = open((lock + ".new").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_copyLock < 0 || flock(m_copyLock, LOCK_EX | LOCK_NB) != 0 ||
            rename((lock + ".new").c_str(), lock.c_str()) != 0)
            throw std::runtime_error("cannot lock " + lock + ": " + std::strerror(errno));
        m_copy = NewCopy();
    } catch (...) {
        if (m_copyLock >= 0)
            close(m_copyLock);
        m_copyLock = -1;
        m_copyFolder.clear();
        fs::remove_all(folder, ec);
        throw;
    }
    if (!follow)
        return;
    m_copyWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_copyWake < 0)
        throw std::runtime_error(std::string("cannot make an eventfd: ") + std::strerror(errno));
    m_copier = std::thread([this, check] {
        auto pause = check;
        bool failing = false;
        while (!m_stopCopying) {
            bool more = false;
            try {
                more = TakeChanges();
                if (failing)
                    std::fprintf(stderr, "zdx-server: the copy of the documents takes changes "
                                         "again\n");
                failing = false;
                pause = check;
            } catch (const std::exception& e) {
                // The database is away, or the copy failed: tried again after a longer pause.
                if (!failing && !m_stopCopying)
                    std::fprintf(stderr, "zdx-server: the copy of the documents waits: %s\n",
                                 e.what());
                pause = failing ? std::min(pause * 2, std::chrono::milliseconds(2000))
                                : std::chrono::milliseconds(200);
                failing = true;
            }
            if (more || m_stopCopying)
                continue;
            // Until the database announces a change, a search finds the copy behind, or the
            // pause is over (the database is asked then all the same).
            int socket = -1;
            {
                std::lock_guard<std::mutex> taking(m_takeMutex);
                if (!failing && m_copyDb && m_copyListens && PQstatus(m_copyDb) == CONNECTION_OK)
                    socket = PQsocket(m_copyDb);
            }
            pollfd waits[2] = {{m_copyWake, POLLIN, 0}, {socket, POLLIN, 0}};
            poll(waits, socket >= 0 ? 2 : 1, static_cast<int>(pause.count()));
            std::uint64_t wakes = 0;
            if (read(m_copyWake, &wakes, sizeof wakes) < 0) {
                // none waiting
            }
        }
    });
}

std::shared_ptr<SqliteStore> PgStore::NewCopy() {
    const std::string path = m_copyFolder + "/documents-" + std::to_string(++m_copies) + ".sqlite";
    auto copy = std::make_unique<SqliteStore>(path, m_folders);
    copy->SetCacheLimit(m_copyCacheBytes);
    copy->SetSearchMillis(m_searchMillis);
    // Its files go with the last search that reads it.
    return std::shared_ptr<SqliteStore>(copy.release(), [path](SqliteStore* store) {
        delete store;
        for (const char* suffix : {"", "-wal", "-shm"})
            unlink((path + suffix).c_str());
    });
}

std::shared_ptr<SqliteStore> PgStore::CopyAgain(const char* why) {
    std::fprintf(stderr, "zdx-server: %s; copying them again\n", why);
    auto copy = NewCopy();
    std::lock_guard<std::mutex> lock(m_copyMutex);
    m_copy = copy;
    m_copiedUpTo = m_copyTaken = 0;
    m_listening = false;
    return copy;
}

void PgStore::HearChanges() {
    if (!m_copyDb || !m_copyListens)
        return;
    if (!PQconsumeInput(m_copyDb))
        throw std::runtime_error(std::string("PostgreSQL: ") + PQerrorMessage(m_copyDb));
    std::uint64_t heard = 0;
    for (PGnotify* notice; (notice = PQnotifies(m_copyDb)); ++heard)
        PQfreemem(notice);
    if (heard > 0) {
        std::lock_guard<std::mutex> lock(m_copyMutex);
        m_heard += heard;
    }
}

bool PgStore::TakeChanges() {
    std::lock_guard<std::mutex> taking(m_takeMutex);
    // Announcements may have been missed unless this pass ends: searches ask meanwhile.
    struct Unheard {
        PgStore* store;
        bool passed = false;
        ~Unheard() {
            if (passed)
                return;
            std::lock_guard<std::mutex> lock(store->m_copyMutex);
            store->m_listening = false;
        }
    } unheard{this};
    if (m_copyDb && PQstatus(m_copyDb) != CONNECTION_OK) {
        PQfinish(m_copyDb);
        m_copyDb = nullptr;
    }
    if (!m_copyDb) {
        {
            std::lock_guard<std::mutex> lock(m_copyMutex);
            m_listening = false;
        }
        m_copyDb = m_pool.Open();
        m_copyListens = false;
        if (m_copyWake >= 0) { // following: told of each change from now on
            Run(m_copyDb, "LISTEN zdx_changes");
            m_copyListens = true;
        }
    }
    // The changes announced so far are all committed before the last change is asked for.
    HearChanges();
    std::shared_ptr<SqliteStore> copy;
    std::uint64_t heard = 0;
    {
        std::lock_guard<std::mutex> lock(m_copyMutex);
        copy = m_copy;
        heard = m_heard;
    }
    const std::int64_t newest = NewestChange(m_copyDb, &m_stopCopying);
    if (newest < m_copyTaken) // another database, or one restored from before
        copy = CopyAgain("the database holds fewer changes than the copy of its documents");
    constexpr int kBatch = 500;
    std::vector<SqliteStore::TakenChange> changes;
    std::int64_t last = m_copyTaken;
    bool more = false;
    if (newest > m_copyTaken) {
        auto rows = Run(m_copyDb,
                        ("SELECT seq, idx, path, name, title, summary, format, author, size, "
                         "mtime, mtime_ns, inode, body, false FROM zdx_docs WHERE seq > $1 UNION "
                         "ALL SELECT seq, idx, path, '', '', '', '', '', 0, 0, 0, 0, '', true "
                         "FROM zdx_gone WHERE seq > $1 ORDER BY 1 LIMIT " +
                         std::to_string(kBatch))
                            .c_str(),
                        {std::to_string(m_copyTaken)}, true, &m_stopCopying);
        for (int r = 0; r < rows->Rows(); ++r) {
            last = rows->Int(r, 0);
            const std::string index = rows->Text(r, 1);
            const auto folder =
                std::find_if(m_folders.begin(), m_folders.end(),
                             [&](const IndexedFolder& f) { return f.name == index; });
            if (folder == m_folders.end())
                continue; // an index this node does not serve
            SqliteStore::TakenChange c;
            c.file.folder = &*folder;
            c.file.path = FromStore(rows->Text(r, 2));
            c.removed = rows->Text(r, 13) == "t";
            if (!c.removed) {
                c.file.name = FromStore(rows->Text(r, 3));
                c.file.text.title = rows->Text(r, 4);
                c.file.summary = rows->Text(r, 5);
                c.file.text.format = rows->Text(r, 6);
                c.file.text.author = rows->Text(r, 7);
                c.file.size = rows->Int(r, 8);
                c.file.mtime = rows->Int(r, 9);
                c.file.mtimeNs = rows->Int(r, 10);
                c.file.inode = rows->Int(r, 11);
                c.file.text.body = rows->Text(r, 12);
            }
            changes.push_back(std::move(c));
        }
        more = rows->Rows() == kBatch;
        // Removals after the copy's last change dropped before they were taken: the copy may
        // hold documents that are gone, and is made again.
        auto dropped = Run(m_copyDb, "SELECT value FROM zdx_meta WHERE key = 'gone:dropped'");
        if (m_copyTaken > 0 && dropped->Rows() > 0 &&
            std::strtoll(dropped->Text(0, 0).c_str(), nullptr, 10) > m_copyTaken) {
            CopyAgain("the copy of the documents missed removals the database no longer keeps");
            return true;
        }
    }
    copy->TakeChanges(changes, !more);
    m_copyTaken = last;
    // Announcements that came during the pass: another follows.
    HearChanges();
    unheard.passed = true;
    std::lock_guard<std::mutex> lock(m_copyMutex);
    if (!more && m_copy == copy) {
        m_copiedUpTo = last;
        m_heardTaken = heard;
        m_listening = m_copyListens;
    }
    return more || m_heard != heard;
}

void PgStore::CatchUp() {
    if (m_copyFolder.empty())
        return;
    while (TakeChanges()) {
    }
    // The copy followed the scan in many small loads, each putting its weighing off by the
    // quiet time; searches start now.
    std::shared_ptr<SqliteStore> copy;
    {
        std::lock_guard<std::mutex> lock(m_copyMutex);
        copy = m_copy;
    }
    copy->WeighSoon();
}

std::shared_ptr<SqliteStore> PgStore::CurrentCopy(CopyState& state) {
    {
        // No change announced since the copy took every change: it holds the last one.
        std::lock_guard<std::mutex> lock(m_copyMutex);
        if (m_listening && m_heardTaken == m_heard) {
            state = {m_copiedUpTo, true};
            return m_copy;
        }
    }
    std::int64_t newest = 0;
    {
        Lease db(m_pool);
        newest = NewestChange(db.Db());
    }
    std::lock_guard<std::mutex> lock(m_copyMutex);
    state = {m_copiedUpTo, m_copiedUpTo == newest};
    return state.current ? m_copy : nullptr;
}

std::optional<CopyState> PgStore::Copy() {
    if (m_copyFolder.empty())
        return std::nullopt;
    CopyState state;
    CurrentCopy(state);
    return state;
}

SearchResult PgStore::Search(const SearchRequest& request) {
    if (!m_copyFolder.empty()) {
        // The copy answers when it holds the last change (see CurrentCopy).
        CopyState state;
        if (const auto copy = CurrentCopy(state))
            return copy->Search(request);
        WakeCopier(m_copyWake);
    }
    SearchResult result;
    const ParsedQuery parsed = ParseQuery(request.query);
    const std::string tsquery = parsed.root ? TsQuerySyntax(*parsed.root) : std::string();
    const bool hasQuery = !request.query.empty();
    if (hasQuery && tsquery.empty())
        return result; // words of punctuation only: nothing can match
    const std::set<std::string> known = [&] {
        std::set<std::string> names;
        for (const auto& f : m_folders)
            names.insert(f.name);
        return names;
    }();
    std::vector<std::string> indexes = request.indexes;
    if (indexes.empty())
        for (const auto& name : known)
            indexes.push_back(name);
    const bool filtered = !request.fileFilter.empty();
    const std::string limit = filtered ? "ALL" : std::to_string(std::max(0, request.maxHits));
    Lease db(m_pool);
    // No search runs longer than its limit in the database, even when the node that asked has
    // gone. And its words are matched through the full-text index: for a word found in most
    // documents PostgreSQL reckons reading every row cheaper, but that reads every row's whole
    // tsvector, where the index gives the matches without them.
    struct SearchTimeout {
        pg_conn* db;
        SearchTimeout(pg_conn* c, int millis) : db(c) {
            PQclear(PQexec(db, ("SET statement_timeout = " + std::to_string(millis) +
                                "; SET enable_seqscan = off")
                                   .c_str()));
        }
        ~SearchTimeout() { PQclear(PQexec(db, "SET statement_timeout = 0; RESET enable_seqscan")); }
    } timeout(db.Db(), m_searchMillis);
    std::unique_ptr<Result> rows;
    // $1: the whole query by stems, for the rank; the condition's words from $4 on.
    std::vector<std::string> values = {tsquery, std::to_string(request.sinceSeconds),
                                       ArrayLiteral(indexes)};
    if (hasQuery) {
        const std::string condition = Condition(*parsed.root, m_stemQuery, values);
        rows = Run(db.Db(),
                   ("SELECT id, idx, path, name, title, format, author, size, mtime, summary, "
                    "ts_rank_cd(tsv, " +
                    WithParameter(m_stemQuery, "$1") +
                    ") AS r, count(*) OVER () FROM zdx_docs "
                    "WHERE " +
                    condition +
                    " AND mtime >= $2 AND idx = ANY($3::text[]) ORDER BY "
                    "r DESC, id LIMIT " +
                    limit)
                       .c_str(),
                   values, true);
    } else {
        rows = Run(db.Db(),
                   ("SELECT id, idx, path, name, title, format, author, size, mtime, summary, "
                    "0, count(*) OVER () FROM zdx_docs WHERE $1 = $1 AND mtime >= $2 AND idx = "
                    "ANY($3::text[]) ORDER BY mtime DESC, id LIMIT " +
                    limit)
                       .c_str(),
                   values, true);
    }
    std::vector<std::int64_t> ids;
    for (int r = 0; r < rows->Rows(); ++r) {
        Document d;
        d.index = rows->Text(r, 1);
        d.path = FromStore(rows->Text(r, 2));
        d.name = FromStore(rows->Text(r, 3));
        if (filtered && !MatchFileName(request.fileFilter, d.name))
            continue;
        d.title = rows->Text(r, 4);
        d.format = rows->Text(r, 5);
        d.author = rows->Text(r, 6);
        d.size = static_cast<std::uint64_t>(rows->Int(r, 7));
        d.mtime = rows->Int(r, 8);
        d.snippet = rows->Text(r, 9);
        d.score = hasQuery ? -rows->Real(r, 10) : 0; // lower is better, as for SQLite's bm25
        ++result.found;
        if (static_cast<int>(result.documents.size()) < request.maxHits) {
            ids.push_back(rows->Int(r, 0));
            result.documents.push_back(std::move(d));
        }
    }
    if (!filtered && rows->Rows() > 0)
        result.found = rows->Int(0, 11);
    if (parsed.root && !ids.empty())
        AddExcerpts(db.Db(), *parsed.root, ids, result.documents);
    return result;
}

void PgStore::AddExcerpts(pg_conn* db, const QueryNode& query, const std::vector<std::int64_t>& ids,
                          std::vector<Document>& documents) {
    // Each hit shows where the words searched for stand closest together, read from as much
    // of its text as that takes; the opening of its text when they are only in the title.
    std::string list = "{";
    for (std::size_t i = 0; i < ids.size(); ++i)
        list += (i ? "," : "") + std::to_string(ids[i]);
    auto bodies =
        Run(db, "SELECT id, substr(body, 1, $2) FROM zdx_docs WHERE id = ANY($1::bigint[])",
            {list + "}", std::to_string(kExcerptScanBytes)});
    std::unordered_map<std::int64_t, int> rowOf;
    const PassageQuery passages(query, m_languages);
    for (int r = 0; r < bodies->Rows(); ++r)
        rowOf[bodies->Int(r, 0)] = r;
    for (std::size_t i = 0; i < ids.size() && i < documents.size(); ++i) {
        const auto it = rowOf.find(ids[i]);
        if (it == rowOf.end())
            continue;
        Excerpt excerpt = passages.Best(bodies->Text(it->second, 1));
        if (!excerpt.text.empty()) {
            documents[i].snippet = std::move(excerpt.text);
            documents[i].matches = std::move(excerpt.matches);
        }
    }
}

std::vector<IndexStatus> PgStore::Status() {
    std::vector<IndexStatus> status;
    for (const IndexedFolder& f : m_folders)
        status.push_back({f.name, 0, 0});
    Lease db(m_pool);
    auto counts = Run(db.Db(), "SELECT idx, count(*), coalesce(sum(octet_length(body)), 0) FROM "
                               "zdx_docs GROUP BY idx");
    for (int r = 0; r < counts->Rows(); ++r)
        for (IndexStatus& s : status)
            if (s.name == counts->Text(r, 0)) {
                s.documents = counts->Int(r, 1);
                s.textBytes = counts->Int(r, 2);
            }
    return status;
}

std::optional<std::string> PgStore::DocumentText(const std::string& index,
                                                 const std::string& path) {
    Lease db(m_pool);
    auto found =
        Run(db.Db(), "SELECT body FROM zdx_docs WHERE idx=$1 AND path=$2", {index, Stored(path)});
    if (found->Rows() == 0)
        return std::nullopt;
    return found->Text(0, 0);
}

std::optional<std::int64_t> PgStore::DocumentInode(const std::string& index,
                                                   const std::string& path) {
    Lease db(m_pool);
    auto found =
        Run(db.Db(), "SELECT inode FROM zdx_docs WHERE idx=$1 AND path=$2", {index, Stored(path)});
    if (found->Rows() == 0)
        return std::nullopt;
    return found->Int(0, 0);
}

std::unique_ptr<SignInCounters> PgStore::MakeSignInCounters() {
    return std::make_unique<PgSignInCounters>(m_pool);
}

std::unique_ptr<SessionStore> PgStore::MakeSessions(std::chrono::minutes idleLimit,
                                                    std::size_t perUserLimit,
                                                    std::chrono::hours lifetime) {
    return std::make_unique<PgSessions>(m_pool, idleLimit, perUserLimit, lifetime);
}

} // namespace zdxserver
