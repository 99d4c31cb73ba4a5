#include "SqliteStore.h"

#include "Packed.h"
#include "Protocol.h"
#include "Scan.h"
#include "SharedMap.h"
#include "Words.h"

#include "text/Codepage.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

// How much of a hit's text is read first for its passage: what a packed text keeps as it
// stands.
constexpr std::size_t kOpeningBytes = kPackedOpeningBytes;

// The page size of a new database.
constexpr int kPageBytes = 8192;
// How much of a database searches read from memory: a larger one has the rest read as before,
// so that the pages the service holds stay within bounds.
constexpr std::int64_t kMappedBytes = std::int64_t{128} << 20;

// A document's text as the index keeps it (see Packed.h): a packed one is bound as a blob.
struct StoredText {
    std::string_view bytes;
};

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* operator*() const { return m_stmt; }
    void Bind(int i, const std::string& text) {
        sqlite3_bind_text(m_stmt, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Bind(int i, std::int64_t value) { sqlite3_bind_int64(m_stmt, i, value); }
    void Bind(int i, const StoredText& text) {
        const auto size = static_cast<int>(text.bytes.size());
        if (IsPacked(text.bytes))
            sqlite3_bind_blob(m_stmt, i, text.bytes.data(), size, SQLITE_TRANSIENT);
        else
            sqlite3_bind_text(m_stmt, i, text.bytes.data(), size, SQLITE_TRANSIENT);
    }
    bool Step() {
        const int rc = sqlite3_step(m_stmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            throw std::runtime_error(std::string("SQLite: ") +
                                     sqlite3_errmsg(sqlite3_db_handle(m_stmt)));
        return rc == SQLITE_ROW;
    }
    void Reset() {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    // Binds the values to parameters 1, 2, ..., runs the statement and resets it.
    template <class... Values> void Run(const Values&... values) {
        int i = 0;
        (Bind(++i, values), ...);
        Step();
        Reset();
    }
    std::string Text(int i) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, i))) : "";
    }
    // The text without a copy, valid until the statement steps or resets.
    std::string_view View(int i) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, i));
        return p ? std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, i)))
                 : std::string_view();
    }
    std::int64_t Int(int i) const { return sqlite3_column_int64(m_stmt, i); }
    double Real(int i) const { return sqlite3_column_double(m_stmt, i); }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        throw std::runtime_error("SQLite: " + message);
    }
}

// What a kept answer costs, roughly: its texts and its fixed parts.
std::size_t AnswerBytes(const std::string& key, const SearchResult& result) {
    std::size_t bytes = key.size() + sizeof(SearchResult) + 64;
    for (const Document& d : result.documents)
        bytes += sizeof(Document) + d.index.size() + d.path.size() + d.name.size() +
                 d.title.size() + d.format.size() + d.author.size() + d.snippet.size();
    for (const Document& d : result.documents)
        for (const std::string& m : d.matches)
            bytes += sizeof(std::string) + m.size();
    return bytes;
}

} // namespace

namespace {

// The varints that end among eight bytes: the high bits moved down to 0 or 1 a byte, and
// summed into the top byte.
std::size_t VarintsEnding(std::uint64_t bytes) {
    const std::uint64_t more = (bytes & 0x8080808080808080u) >> 7;
    return 8 - static_cast<std::size_t>((more * 0x0101010101010101u) >> 56);
}

// The varints that end in [p, end).
std::size_t CountVarints(const unsigned char* p, const unsigned char* end) {
    std::size_t count = 0;
    for (; p + 8 <= end; p += 8) {
        std::uint64_t bytes;
        std::memcpy(&bytes, p, 8);
        count += VarintsEnding(bytes);
    }
    for (; p < end; ++p)
        count += (*p & 0x80) == 0;
    return count;
}

// How often phrase `i` stands in the row, a place in the title counting `titleWeight` times.
// A word in every document stands a hundred times in many, and taking its places one by one
// through the API was most of such a search's match: they are counted in the row's list of
// places as FTS5 keeps it, which the first place's iterator spans. The list is varints, each
// place's at least 2 (a varint's last byte is the one whose high bit is clear); a varint 1
// followed by a column's number starts the places of a column other than the first. The body
// is the table's first column, so that its places, nearly all of them, need no such start (two
// bytes for each word in each row it stands in: nearly a third of the index).
double PhraseFrequency(const Fts5ExtensionApi* api, Fts5Context* fts, int i, double titleWeight) {
    Fts5PhraseIter it;
    int column = 0, offset = 0;
    if (api->xPhraseFirst(fts, i, &it, &column, &offset) != SQLITE_OK || column < 0)
        return 0;
    const unsigned char* p = it.a;
    const unsigned char* const end = it.b;
    if (column != 0) // only the title holds it
        return titleWeight * static_cast<double>(1 + CountVarints(p, end));
    // The body's places, up to a byte 1 that is a varint of its own (the byte before it ends a
    // varint; `p` starts one, after the first place's): the title's places follow it. Eight
    // bytes at a time while they hold no byte 1.
    std::size_t body = 1;
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    while (p < end) {
        if (p + 8 <= end) {
            std::uint64_t bytes;
            std::memcpy(&bytes, p, 8);
            const std::uint64_t x = bytes ^ kOnes; // a byte 1 becomes 0
            if (((x - kOnes) & ~x & 0x8080808080808080u) == 0) {
                body += VarintsEnding(bytes);
                p += 8;
                continue;
            }
        }
        for (const unsigned char* const stop = std::min(p + 8, end); p < stop; ++p) {
            if (*p == 0x01 && !(p[-1] & 0x80)) {
                ++p;
                while (p < end && (*p++ & 0x80)) // the column's number
                    ;
                return static_cast<double>(body) +
                       titleWeight * static_cast<double>(CountVarints(p, end));
            }
            body += (*p & 0x80) == 0;
        }
    }
    return static_cast<double>(body);
}

// BM25 as FTS5's bm25() computes it, a place in the title weighing 5: a phrase's inverse
// document frequency, and what it adds to a row's score.
constexpr double kK1 = 1.2, kB = 0.75, kTitleWeight = 5.0;

double InverseFrequency(std::int64_t rows, std::int64_t hits) {
    const double idf =
        std::log((static_cast<double>(rows - hits) + 0.5) / (static_cast<double>(hits) + 0.5));
    return idf > 0 ? idf : 1e-6;
}

// What a row's length does to every phrase's part of its score.
double LengthFactor(double words, double meanWords) {
    return kK1 * (1 - kB + kB * words / meanWords);
}

double PhraseScore(double idf, double frequency, double lengthFactor) {
    return idf * frequency * (kK1 + 1) / (frequency + lengthFactor);
}

// One read transaction while it lives: one snapshot, the database's locks taken once.
class ReadTransaction {
public:
    explicit ReadTransaction(sqlite3* db) : m_db(db) { Exec(db, "BEGIN"); }
    ~ReadTransaction() { sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr); }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    sqlite3* m_db;
};

// While it lives, `db` asks `stop(argument)` every `steps` steps whether to interrupt what it
// runs.
class Interruptible {
public:
    Interruptible(sqlite3* db, int steps, int (*stop)(void*), void* argument) : m_db(db) {
        sqlite3_progress_handler(db, steps, stop, argument);
    }
    ~Interruptible() { sqlite3_progress_handler(m_db, 0, nullptr, nullptr); }
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

private:
    sqlite3* m_db;
};

// While it lives, a query word on this thread is matched in the forms the index on `db`
// holds. Asked from inside the tokenizer, which must not throw: a lookup that fails keeps
// the form.
class IndexForms {
public:
    explicit IndexForms(sqlite3* db)
        : m_held(db, "SELECT 1 FROM temp.terms WHERE term = ?1 LIMIT 1"),
          m_forms([this](const std::string& form) {
              m_held.Bind(1, form);
              const bool found = sqlite3_step(*m_held) != SQLITE_DONE;
              m_held.Reset();
              return found;
          }) {}

private:
    Statement m_held;
    HeldForms m_forms;
};

// Words found in one document in kWeighedShare or more have their weights kept: without them,
// every search of such a word reads and merges its long lists of places.
constexpr std::int64_t kWeighedShare = 5;

// A phrase's weights while Weight() counts them on this thread.
struct WeightCount {
    std::vector<std::uint8_t>* frequency;                       // see PhraseWeights
    std::vector<std::pair<std::size_t, std::uint32_t>>* beyond; // the same
    std::int64_t documents = 0, rows = -1, words = 0;
    bool tooMany = false; // a frequency beyond 32 bits
};
thread_local WeightCount* t_weightCount = nullptr;

// The phrases of the match a search runs on this thread, in FTS5's order (each quoted string
// of it, with its '*'), and the documents' generation: Rank's key to the counts of documents
// that hold them.
struct MatchPhrases {
    std::vector<std::string> phrases;
    std::uint64_t generation = 0;
};
thread_local const MatchPhrases* t_matchPhrases = nullptr;

MatchPhrases PhrasesOf(const std::string& match, std::uint64_t generation) {
    MatchPhrases out{{}, generation};
    for (std::size_t at = match.find('"'); at != std::string::npos;) {
        const std::size_t end = match.find('"', at + 1); // a query's words hold no quotes
        if (end == std::string::npos)
            break;
        out.phrases.push_back(match.substr(at, end + 1 - at) +
                              (match.compare(end + 1, 1, "*") == 0 ? "*" : ""));
        at = match.find('"', end + 1);
    }
    return out;
}

} // namespace

std::optional<std::int64_t> SqliteStore::PhraseDocs(const std::string& phrase,
                                                    std::uint64_t generation) const {
    std::lock_guard<std::mutex> lock(m_phraseMutex);
    if (generation != m_phraseGeneration)
        return std::nullopt;
    const auto it = m_phraseDocs.find(phrase);
    return it == m_phraseDocs.end() ? std::nullopt : std::optional<std::int64_t>(it->second);
}

void SqliteStore::KeepPhraseDocs(const std::string& phrase, std::uint64_t generation,
                                 std::int64_t documents) const {
    std::lock_guard<std::mutex> lock(m_phraseMutex);
    if (generation < m_phraseGeneration)
        return;
    if (generation > m_phraseGeneration || m_phraseDocs.size() >= 100000) {
        m_phraseDocs.clear();
        m_phraseGeneration = generation;
    }
    m_phraseDocs[phrase] = documents;
}

void SqliteStore::Rank(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result, int,
                       sqlite3_value**) {
    // What stays the same for every row of one query: the mean length of a document and each
    // phrase's inverse document frequency.
    struct Query {
        double meanWords = 1;
        std::vector<double> idf;
    };
    const auto* store = static_cast<const SqliteStore*>(api->xUserData(fts));
    auto* query = static_cast<Query*>(api->xGetAuxdata(fts, 0));
    const int phrases = api->xPhraseCount(fts);
    if (!query) {
        auto made = std::make_unique<Query>();
        sqlite3_int64 rows = 0, words = 0;
        int rc = api->xRowCount(fts, &rows);
        if (rc == SQLITE_OK)
            rc = api->xColumnTotalSize(fts, -1, &words);
        made->meanWords = rows > 0 ? static_cast<double>(words) / static_cast<double>(rows) : 1;
        const MatchPhrases* known = t_matchPhrases;
        if (known && known->phrases.size() != static_cast<std::size_t>(phrases))
            known = nullptr; // not the match this thread announced
        for (int i = 0; rc == SQLITE_OK && i < phrases; ++i) {
            const std::string* phrase =
                known ? &known->phrases[static_cast<std::size_t>(i)] : nullptr;
            sqlite3_int64 hits = 0;
            if (const auto counted =
                    phrase ? store->PhraseDocs(*phrase, known->generation) : std::nullopt) {
                hits = *counted;
            } else {
                rc = api->xQueryPhrase(fts, i, &hits,
                                       [](const Fts5ExtensionApi*, Fts5Context*, void* count) {
                                           ++*static_cast<sqlite3_int64*>(count);
                                           return SQLITE_OK;
                                       });
                if (rc == SQLITE_OK && phrase)
                    store->KeepPhraseDocs(*phrase, known->generation, hits);
            }
            made->idf.push_back(InverseFrequency(rows, hits));
        }
        if (rc == SQLITE_OK)
            rc = api->xSetAuxdata(fts, made.get(), [](void* p) { delete static_cast<Query*>(p); });
        if (rc != SQLITE_OK) {
            sqlite3_result_error_code(result, rc);
            return;
        }
        query = made.release();
    }
    const Row row = store->RowAt(api->xRowid(fts));
    const double words = row.doc ? row.words : query->meanWords;
    const double length = LengthFactor(words, query->meanWords);
    double score = 0;
    for (int i = 0; i < phrases; ++i)
        score += PhraseScore(query->idf[static_cast<std::size_t>(i)],
                             PhraseFrequency(api, fts, i, kTitleWeight), length);
    sqlite3_result_double(result, -score); // lower is better, as bm25() has it
}

void SqliteStore::Weight(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result,
                         int, sqlite3_value**) {
    WeightCount* count = t_weightCount;
    if (!count) {
        sqlite3_result_null(result);
        return;
    }
    if (count->rows < 0) {
        sqlite3_int64 rows = 0, words = 0;
        if (api->xRowCount(fts, &rows) != SQLITE_OK ||
            api->xColumnTotalSize(fts, -1, &words) != SQLITE_OK) {
            sqlite3_result_error(result, "cannot count the index's rows", -1);
            return;
        }
        count->rows = rows;
        count->words = words;
    }
    ++count->documents;
    const double frequency = PhraseFrequency(api, fts, 0, kTitleWeight);
    const sqlite3_int64 row = api->xRowid(fts);
    if (frequency > std::numeric_limits<std::uint32_t>::max()) {
        count->tooMany = true;
    } else if (row >= 0 && static_cast<std::uint64_t>(row) < count->frequency->size()) {
        const auto at = static_cast<std::size_t>(row);
        if (frequency < PhraseWeights::kBeyond) {
            (*count->frequency)[at] = static_cast<std::uint8_t>(frequency);
        } else {
            (*count->frequency)[at] = PhraseWeights::kBeyond;
            count->beyond->emplace_back(at, static_cast<std::uint32_t>(frequency));
        }
    }
    sqlite3_result_null(result);
}

std::vector<SqliteStore::KeptWeights>
SqliteStore::WeightsOf(const std::vector<std::string>& phrases, std::uint64_t generation) const {
    std::vector<KeptWeights> weights(phrases.size());
    std::lock_guard<std::mutex> lock(m_phraseMutex);
    if (generation != m_phraseGeneration)
        return weights;
    const PhraseWeights* first = nullptr;
    for (std::size_t i = 0; i < phrases.size(); ++i) {
        const auto it = m_weights.find(phrases[i]);
        if (it == m_weights.end())
            continue;
        const PhraseWeights& w = *it->second;
        if (!first)
            first = &w;
        // Weighed apart during a scan, they may have seen other rows: then FTS5 ranks.
        if (w.rows != first->rows || w.words != first->words ||
            w.frequency.size() != m_byRow.size())
            return std::vector<KeptWeights>(phrases.size());
        weights[i] = it->second;
    }
    return weights;
}

void SqliteStore::WantWeights(const std::vector<std::string>& phrases, std::uint64_t generation) {
    const auto documents = static_cast<std::int64_t>(m_docs.size());
    std::lock_guard<std::mutex> lock(m_phraseMutex);
    if (generation != m_phraseGeneration || m_byRow.empty())
        return;
    for (const std::string& phrase : phrases) {
        const auto it = m_phraseDocs.find(phrase);
        if (it != m_phraseDocs.end() && it->second * kWeighedShare >= documents &&
            !m_weights.count(phrase) &&
            std::find(m_toWeigh.begin(), m_toWeigh.end(), phrase) == m_toWeigh.end())
            m_toWeigh.push_back(phrase);
    }
    m_weighWake.notify_one();
}

void SqliteStore::Foresee() {
    // The documents that hold each word, among the sampled texts' first 64 KB.
    constexpr std::size_t kSampleBytes = 64 << 10;
    std::unordered_map<std::string, std::size_t> documents;
    std::size_t sampled = 0;
    {
        std::shared_lock<std::shared_mutex> docs(m_docsMutex);
        if (m_byRow.empty())
            return;
        Reader reader(*this);
        const ReadTransaction transaction(reader.Db());
        Statement body(reader.Db(), "SELECT body FROM fts WHERE rowid = ?1");
        const std::size_t step = std::max<std::size_t>(1, m_byRow.size() / 200);
        std::string unpacked;
        std::unordered_set<std::string> words;
        for (std::size_t row = 0; row < m_byRow.size(); row += step) {
            if (!m_byRow[row].doc)
                continue;
            body.Bind(1, static_cast<std::int64_t>(row));
            if (body.Step()) {
                const std::string_view text = UnpackText(body.View(0), kSampleBytes, unpacked)
                                                  ? std::string_view(unpacked)
                                                  : body.View(0).substr(0, kSampleBytes);
                words.clear();
                ForEachWord(text, [&](std::string_view folded, std::size_t, std::size_t) {
                    words.emplace(folded);
                    return true;
                });
                for (const std::string& word : words)
                    ++documents[word];
                ++sampled;
            }
            body.Reset();
        }
    }
    std::vector<std::pair<std::size_t, std::string>> frequent;
    for (const auto& [word, count] : documents)
        if (count * kWeighedShare >= sampled)
            frequent.emplace_back(count, word);
    std::sort(frequent.rbegin(), frequent.rend()); // the most frequent first
    std::vector<std::string> phrases;
    for (const auto& [count, word] : frequent)
        if (const ParsedQuery parsed = ParseQuery(word); parsed.root)
            for (std::string& phrase : PhrasesOf(FtsSyntax(*parsed.root), 0).phrases)
                phrases.push_back(std::move(phrase));
    std::lock_guard<std::mutex> lock(m_phraseMutex);
    m_foreseen = m_foreseen || sampled > 0;
    for (std::string& phrase : phrases)
        if (!m_weights.count(phrase) &&
            std::find(m_toWeigh.begin(), m_toWeigh.end(), phrase) == m_toWeigh.end())
            m_toWeigh.push_back(std::move(phrase));
}

void SqliteStore::Weigh(const std::string& phrase) {
    // A byte a row for each phrase, 32 MB of them at the most.
    constexpr std::size_t kBudget = 32u << 20;
    // The documents' lock before a connection, as searches take them.
    std::shared_lock<std::shared_mutex> docs(m_docsMutex);
    const std::uint64_t generation = m_generation;
    const std::size_t rows = m_byRow.size();
    {
        std::lock_guard<std::mutex> lock(m_phraseMutex);
        if (generation != m_phraseGeneration || rows == 0 || m_weightsBytes + rows > kBudget ||
            m_weights.count(phrase))
            return;
    }
    Reader reader(*this);
    sqlite3* db = reader.Db();
    auto weights = std::make_shared<PhraseWeights>();
    weights->frequency.assign(rows, 0);
    WeightCount counting{&weights->frequency, &weights->beyond};
    struct Counting {
        explicit Counting(WeightCount* c) { t_weightCount = c; }
        ~Counting() { t_weightCount = nullptr; }
    } announce(&counting);
    try {
        const ReadTransaction transaction(db);
        const Interruptible stoppable(
            db, 1000,
            [](void* store) -> int {
                return static_cast<SqliteStore*>(store)->m_stopWeighing || ServiceStopping();
            },
            this);
        const IndexForms forms(db); // the phrase's words in the forms a search takes them in
        Statement count(db, "SELECT zdx_weight(fts) FROM fts WHERE fts MATCH ?1");
        count.Bind(1, phrase);
        while (count.Step()) {
        }
    } catch (const std::runtime_error&) {
        return; // stopped, most likely: the phrase stays unweighed
    }
    if (counting.tooMany || counting.rows < 0 || counting.documents * kWeighedShare < counting.rows)
        return; // (a word foreseen from a sample may stand in fewer)
    // At() looks rows up by halving: in their order, as FTS5 gives them already.
    std::sort(weights->beyond.begin(), weights->beyond.end());
    weights->documents = counting.documents;
    weights->rows = counting.rows;
    weights->words = counting.words;
    const std::size_t bytes = weights->Bytes();
    std::lock_guard<std::mutex> lock(m_phraseMutex);
    if (generation != m_phraseGeneration || m_weights.count(phrase) ||
        m_weightsBytes + bytes > kBudget)
        return;
    m_weightsBytes += bytes;
    m_weights.emplace(phrase, std::move(weights));
}

SqliteStore::SqliteStore(const std::string& dbPath, std::vector<IndexedFolder> folders)
    : m_dbPath(dbPath), m_folders(std::move(folders)) {
    // Allocation statistics take a process-wide lock on every allocation: not wanted here.
    static const bool configured = [] {
        sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        return true;
    }();
    (void)configured;
    static std::atomic<std::uint64_t> instances{0};
    m_instance = ++instances;
    // The database holds every indexed text: only its owner may read it. SQLite gives its WAL
    // and shared-memory files the database file's mode.
    {
        const int fd = open(m_dbPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            throw std::runtime_error("cannot open " + m_dbPath + ": " + std::strerror(errno));
        fchmod(fd, 0600);
        close(fd);
    }
    m_languages = LanguagesOf(m_folders);
    sqlite3* db = Connection();
    Exec(db, "PRAGMA journal_mode=WAL");
    // The words of an index are stemmed in its language: a database of an older layout, or
    // one whose indexes had other languages, is built anew.
    std::string words = TokenizerArguments(m_languages);
    for (const IndexedFolder& f : m_folders)
        if (f.language != kDefaultLanguage)
            words += ';' + f.name + '=' + f.language;
    // (The statements end before the tables are dropped: SQLite drops none while one runs.)
    const bool same = [&] {
        Statement version(db, "PRAGMA user_version");
        if (!version.Step() || version.Int(0) != kSchemaVersion)
            return false;
        Exec(db, "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT)");
        Statement stored(db, "SELECT value FROM meta WHERE key = 'words'");
        return stored.Step() && stored.Text(0) == words;
    }();
    if (!same)
        Exec(db, "DROP TABLE IF EXISTS docs; DROP TABLE IF EXISTS fts;");
    // A file is known by its index and path (an index may lie inside another, and each holds
    // the file); its size, modification time in nanoseconds and inode tell whether it changed.
    Exec(db, "CREATE TABLE IF NOT EXISTS docs(id INTEGER PRIMARY KEY, idx TEXT NOT NULL,"
             " path TEXT NOT NULL, name TEXT NOT NULL, title TEXT, summary TEXT,"
             " format TEXT, author TEXT, size INTEGER, mtime INTEGER, mtime_ns INTEGER,"
             " inode INTEGER, UNIQUE(idx, path));"
             "CREATE INDEX IF NOT EXISTS docs_idx ON docs(idx);"
             "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT);");
    Exec(db, ("CREATE VIRTUAL TABLE IF NOT EXISTS fts USING fts5(body, title, tokenize='" +
              TokenizerArguments(m_languages) +
              "'); PRAGMA user_version = " + std::to_string(kSchemaVersion))
                 .c_str());
    Statement keep(db, "INSERT OR REPLACE INTO meta(key, value) VALUES('words', ?1)");
    keep.Run(words);
    // Fewer, larger merges of the full-text segments while files are added in bulk; and
    // larger segments to merge: the words of 64 MB of index in memory before they are written
    // out (1 MB left many small segments to merge again and again).
    Exec(db, "INSERT INTO fts(fts, rank) VALUES('automerge', 8);"
             "INSERT INTO fts(fts, rank) VALUES('hashsize', 64000000)");
    // FTS5's pages of words fill the database's pages, as its default does those of 4 KB.
    const std::int64_t pageBytes = [&] {
        Statement pageSize(db, "PRAGMA page_size");
        return pageSize.Step() ? pageSize.Int(0) : 4096;
    }();
    Exec(db, ("INSERT INTO fts(fts, rank) VALUES('pgsz', " +
              std::to_string(std::max<std::int64_t>(512, pageBytes - 46)) + ")")
                 .c_str());
    LoadDocuments();
    m_weigher = std::thread([this] {
        for (;;) {
            std::string phrase;
            {
                std::unique_lock<std::mutex> lock(m_phraseMutex);
                const auto ready = [this] {
                    return m_stopWeighing || !m_toWeigh.empty() ||
                           (m_foresee && std::chrono::steady_clock::now() >= m_foreseeAt);
                };
                while (!ready()) {
                    if (m_foresee)
                        m_weighWake.wait_until(lock, m_foreseeAt);
                    else
                        m_weighWake.wait(lock);
                }
                if (m_stopWeighing)
                    return;
                if (!m_toWeigh.empty()) {
                    phrase = std::move(m_toWeigh.front());
                    m_toWeigh.erase(m_toWeigh.begin());
                } else {
                    m_foresee = false;
                }
            }
            try {
                if (phrase.empty())
                    Foresee();
                else
                    Weigh(phrase);
            } catch (const std::exception&) {
                // the phrase stays unweighed: its searches rank it through FTS5
            }
        }
    });
}

SqliteStore::~SqliteStore() {
    {
        std::lock_guard<std::mutex> lock(m_phraseMutex);
        m_stopWeighing = true;
    }
    m_weighWake.notify_all();
    if (m_weigher.joinable())
        m_weigher.join();
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    for (sqlite3* db : m_connections)
        sqlite3_close_v2(db);
}

sqlite3* SqliteStore::Open(int cacheKiB, bool mapped) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(m_dbPath.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        SharedMapVfs()) != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        throw std::runtime_error("cannot open " + m_dbPath + ": " + message);
    }
    sqlite3_busy_timeout(db, 10000);
    RegisterWordTokenizer(db);
    fts5_api* fts = Fts5Api(db);
    if (fts->xCreateFunction(fts, "zdx_rank", this, &SqliteStore::Rank, nullptr) != SQLITE_OK)
        throw std::runtime_error("SQLite: cannot add the rank function");
    if (fts->xCreateFunction(fts, "zdx_weight", this, &SqliteStore::Weight, nullptr) != SQLITE_OK)
        throw std::runtime_error("SQLite: cannot add the weight function");
    // The length of a stored text, packed or not.
    const auto textLength = [](sqlite3_context* context, int, sqlite3_value** values) {
        const auto* bytes = static_cast<const char*>(sqlite3_value_blob(values[0]));
        sqlite3_result_int64(
            context,
            static_cast<sqlite3_int64>(TextLength(std::string_view(
                bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(values[0]))))));
    };
    if (sqlite3_create_function(db, "zdx_text_length", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                                nullptr, textLength, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error("SQLite: cannot add the text length function");
    // The terms of the index, one row for each place: whether a query word's form is held.
    Exec(db, "CREATE VIRTUAL TABLE IF NOT EXISTS temp.terms USING fts5vocab(main, fts, instance)");
    // A new database gets pages of 8 KB (one made before keeps its own): the thread that
    // stores a scan's files spends about a sixth less processor time, with half as many pages
    // to write, FTS5's pages of words among them. The file is read before the page cache is
    // sized: SQLite counts that size in pages of the size it knows when asked, and a cache
    // counted in pages of 4 KB would take twice its memory in pages of 8 KB.
    Exec(db, ("PRAGMA page_size = " + std::to_string(kPageBytes)).c_str());
    Exec(db, "SELECT count(*) FROM sqlite_schema");
    // A larger page cache than SQLite's 2 MB saves re-reading the index on every search.
    Exec(db, ("PRAGMA cache_size = -" + std::to_string(cacheKiB)).c_str());
    // The index can always be built again from the files: a crash may lose the last commits,
    // never the database, and commits need not wait for the disk.
    Exec(db, "PRAGMA synchronous = NORMAL");
    // A search's connection reads the first kMappedBytes of the database from memory, through
    // the one mapping that every connection of the process shares (see SharedMap.h): no copy
    // of each page read, where most of a search's time went to reading its hits' texts (the
    // frequency-drawn median search 24.0-24.5 -> 17.9-22.7 ms, 10,000 documents). Its page
    // cache then holds only what lies further on, or in the write-ahead log.
    if (mapped)
        Exec(db, ("PRAGMA mmap_size = " + std::to_string(kMappedBytes)).c_str());
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_connections.push_back(db);
    return db;
}

sqlite3* SqliteStore::Connection() {
    // One connection per thread and index for scans; searches borrow from a small pool.
    // Keyed by the instance's number, never its address, which a later index may reuse.
    thread_local std::unordered_map<std::uint64_t, sqlite3*> connections;
    auto it = connections.find(m_instance);
    if (it != connections.end())
        return it->second;
    sqlite3* db = Open();
    connections[m_instance] = db;
    return db;
}

SqliteStore::Reader::Reader(SqliteStore& index) : m_index(index) {
    std::unique_lock<std::mutex> lock(index.m_readersMutex);
    // Four searches a core run at once, sharing the cores: a quick search is not held behind
    // a long one, as it was waiting for one of two connections a core (the median search of
    // words found nearly everywhere, 8 clients on 2 cores: 20.5-21.4 -> 16.1-22.1 ms; the
    // slowest take longer: 99th percentile 61-66 -> 76-93 ms). Each connection keeps its own
    // page cache, a third as large as before (4 MB), for the pages it does not read from the
    // shared mapping. One per worker thread would cost memory for nothing.
    const std::size_t limit = std::max(2u, 4 * std::thread::hardware_concurrency());
    index.m_readerFree.wait(
        lock, [&] { return !index.m_readers.empty() || index.m_readerCount < limit; });
    if (!index.m_readers.empty()) {
        m_db = index.m_readers.back();
        index.m_readers.pop_back();
        return;
    }
    ++index.m_readerCount;
    lock.unlock();
    try {
        m_db = index.Open(4000, true);
    } catch (...) {
        std::lock_guard<std::mutex> again(index.m_readersMutex);
        --index.m_readerCount;
        index.m_readerFree.notify_one();
        throw;
    }
}

SqliteStore::Reader::~Reader() {
    {
        std::lock_guard<std::mutex> lock(m_index.m_readersMutex);
        m_index.m_readers.push_back(m_db);
    }
    m_index.m_readerFree.notify_one();
}

namespace {

// The SQLite side of a scan.
class SqliteScan : public ScanTarget {
public:
    // `languages`: the tokenizer's language number of each index; `names`: its languages.
    SqliteScan(sqlite3* db, std::map<std::string, std::size_t> languages,
               const std::vector<std::string>& names)
        : m_db(db), m_languages(std::move(languages)), m_names(names),
          m_indexOf(db, "SELECT idx FROM docs WHERE id=?"),
          m_insertDoc(db, "INSERT INTO docs(idx, path, name, format, author, size, mtime,"
                          " mtime_ns, inode, title, summary) VALUES(?,?,?,?,?,?,?,?,?,?,?)"),
          m_updateDoc(db, "UPDATE docs SET name=?, format=?, author=?, size=?, mtime=?,"
                          " mtime_ns=?, inode=?, title=?, summary=? WHERE id=?"),
          m_deleteDoc(db, "DELETE FROM docs WHERE id=?"),
          m_insertText(db, "INSERT INTO fts(rowid, title, body) VALUES(?,?,?)"),
          m_deleteText(db, "DELETE FROM fts WHERE rowid=?") {}

    std::int64_t Put(const FileChange& c) override {
        // A document's words are stemmed, and its old words removed, in its index's language.
        DocumentLanguage language(LanguageOf(c.folder->name));
        std::int64_t id = c.id;
        if (id < 0) {
            m_insertDoc.Run(c.folder->name, c.path, c.name, c.text.format, c.text.author, c.size,
                            c.mtime, c.mtimeNs, c.inode, c.text.title, c.summary);
            id = sqlite3_last_insert_rowid(m_db);
        } else {
            m_updateDoc.Run(c.name, c.text.format, c.text.author, c.size, c.mtime, c.mtimeNs,
                            c.inode, c.text.title, c.summary, id);
            m_deleteText.Run(id);
        }
        // Packed on the walk's thread (Prepare) unless the body is empty. FTS5 takes the words
        // from the text as it stands, not unpacked again.
        const std::string packedHere = c.storedBody.empty() ? PackText(c.text.body) : "";
        const StoredText stored{c.storedBody.empty() ? packedHere : c.storedBody};
        const PackedFrom packedFrom(stored.bytes, c.text.body, c.storedTokens);
        m_insertText.Run(id, c.text.title, stored);
        return id;
    }
    // The text packed and its words worked out on the walk's thread: FTS5 takes them as they
    // are, and the thread that stores has FTS5's work alone.
    void Prepare(FileChange& c) override {
        c.storedBody = PackText(c.text.body);
        c.storedTokens = DocumentTokens(c.text.body, m_names, LanguageOf(c.folder->name));
    }
    void Remove(std::int64_t id) override {
        m_indexOf.Bind(1, id);
        const std::string index = m_indexOf.Step() ? m_indexOf.Text(0) : std::string();
        m_indexOf.Reset();
        DocumentLanguage language(LanguageOf(index));
        m_deleteDoc.Run(id);
        m_deleteText.Run(id);
    }
    // Changes are committed every three seconds. A scan's new files are listed only once it
    // ends and loads them; a changed file's new words count from the commit that holds them;
    // the only other writer (TakeChanges) waits for the scan anyway. Each commit writes FTS5's
    // words in memory out as a segment to be merged again: a scan of 100,000 documents took a
    // sixth less time than with commits every quarter second.
    void Tick() override {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastCommit >= std::chrono::seconds(3)) {
            Exec(m_db, "COMMIT; BEGIN");
            m_lastCommit = now;
        }
    }

private:
    std::size_t LanguageOf(const std::string& index) const {
        const auto it = m_languages.find(index);
        return it == m_languages.end() ? 0 : it->second;
    }

    sqlite3* m_db;
    std::map<std::string, std::size_t> m_languages;
    const std::vector<std::string>& m_names;
    Statement m_indexOf;
    Statement m_insertDoc, m_updateDoc, m_deleteDoc, m_insertText, m_deleteText;
    std::chrono::steady_clock::time_point m_lastCommit = std::chrono::steady_clock::now();
};

} // namespace

std::map<std::string, std::size_t> SqliteStore::LanguageNumbers() const {
    std::map<std::string, std::size_t> languages;
    for (const IndexedFolder& f : m_folders)
        languages[f.name] = static_cast<std::size_t>(
            std::find(m_languages.begin(), m_languages.end(), f.language) - m_languages.begin());
    return languages;
}

ScanStats SqliteStore::Scan() {
    std::lock_guard<std::mutex> scanning(m_scanMutex);
    sqlite3* db = Connection();
    std::unordered_map<std::string, KnownFile> known;
    {
        Statement all(db, "SELECT id, idx, path, size, mtime_ns, inode FROM docs");
        while (all.Step())
            known[KnownFileKey(all.Text(1), all.Text(2))] = {all.Int(0), all.Int(3), all.Int(4),
                                                             all.Int(5), false};
    }
    ScanStats stats;
    Exec(db, "BEGIN");
    try {
        SqliteScan target(db, LanguageNumbers(), m_languages);
        stats = ScanFolders(m_folders, known, target);
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        m_documentsBehind = true; // its earlier commits stand
        throw;
    }
    // A scan that wrote most of the index (the first one above all) leaves it in several
    // segments, written three seconds apart and mostly not merged: a search of a word found
    // everywhere reads a list of places from each. They are merged into one, after the scan is
    // committed (100,000 documents: about three seconds; see bench/README.md). Without it
    // searches are slower, not wrong, and later writes merge the segments bit by bit: a service
    // asked to stop does not wait for it.
    const int written = stats.added + stats.updated;
    if (written > 0 && written >= stats.unchanged && !ServiceStopping()) {
        try {
            Exec(db, "INSERT INTO fts(fts) VALUES('optimize')");
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zdx-server: cannot merge the index's segments: %s\n", e.what());
        }
    }
    // What the scan wrote goes into the database now, and the write-ahead log, which a scan's
    // commits of many megabytes leave as large on disk, back to nothing. A scan that changed
    // nothing (after one that ended) leaves the documents as they are, and with them the
    // answers and weights kept.
    if (written + stats.removed > 0)
        m_documentsBehind = true;
    LoadCommitted(db);
#ifdef __GLIBC__
    // FTS5 held up to 64 MB of words in memory: glibc keeps what they took once freed, where
    // the searches' threads, allocating in heaps of their own, never reuse it (10,000
    // documents: the service's peak 8 MB lower). The pages the scan's connection keeps go
    // back too: searches read theirs from the shared mapping.
    if (written > 0) {
        sqlite3_db_release_memory(db);
        malloc_trim(0);
    }
#endif
    return stats;
}

void SqliteStore::TakeChanges(std::vector<TakenChange>& changes, bool load) {
    std::lock_guard<std::mutex> scanning(m_scanMutex);
    sqlite3* db = Connection();
    if (!changes.empty()) {
        Exec(db, "BEGIN");
        try {
            SqliteScan target(db, LanguageNumbers(), m_languages);
            Statement find(db, "SELECT id FROM docs WHERE idx=? AND path=?");
            for (TakenChange& c : changes) {
                find.Bind(1, c.file.folder->name);
                find.Bind(2, c.file.path);
                c.file.id = find.Step() ? find.Int(0) : -1;
                find.Reset();
                if (c.removed) {
                    if (c.file.id >= 0)
                        target.Remove(c.file.id);
                } else {
                    target.Prepare(c.file);
                    target.Put(c.file);
                }
            }
            Exec(db, "COMMIT");
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        m_documentsBehind = true;
    }
    if (load)
        LoadCommitted(db);
}

void SqliteStore::WeighSoon() {
    {
        std::lock_guard<std::mutex> lock(m_phraseMutex);
        m_foresee = true;
        m_foreseeAt = std::chrono::steady_clock::now();
    }
    m_weighWake.notify_one();
}

void SqliteStore::LoadCommitted(sqlite3* db) {
    if (!m_documentsBehind)
        return;
    sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    LoadDocuments();
    m_documentsBehind = false;
}

SqliteStore::Row SqliteStore::RowAt(std::int64_t id) const {
    if (!m_byRow.empty())
        return id >= 0 && static_cast<std::uint64_t>(id) < m_byRow.size()
                   ? m_byRow[static_cast<std::size_t>(id)]
                   : Row{};
    const auto it = m_docs.find(id);
    return it == m_docs.end() ? Row{} : Row{&it->second, it->second.mtime, it->second.words};
}

void SqliteStore::LoadDocuments() {
    std::unordered_map<std::int64_t, DocInfo> docs;
    Statement all(
        Connection(),
        "SELECT d.id, d.idx, d.path, d.name, d.title, d.summary, d.format, d.author,"
        " d.mtime, d.size, d.inode, s.sz FROM docs d LEFT JOIN fts_docsize s ON s.id = d.id");
    std::unordered_map<std::string, std::int64_t> paths;
    while (all.Step()) {
        DocInfo& d = docs[all.Int(0)];
        d.index = all.Text(1);
        d.path = all.Text(2);
        d.name = all.Text(3);
        d.title = all.Text(4);
        d.summary = all.Text(5);
        d.format = all.Text(6);
        d.author = all.Text(7);
        d.mtime = all.Int(8);
        d.size = static_cast<std::uint64_t>(all.Int(9));
        paths[d.index + '\0' + d.path] = all.Int(10);
        // FTS5 keeps the words of each column as varints (seven bits a byte, high bit: more).
        std::uint64_t column = 0;
        for (unsigned char c : all.View(11)) {
            column = (column << 7) | (c & 0x7f);
            if (!(c & 0x80)) {
                d.words += static_cast<std::uint32_t>(column);
                column = 0;
            }
        }
    }
    std::int64_t last = 0;
    for (const auto& [id, doc] : docs)
        last = std::max(last, id);
    std::vector<Row> byRow;
    if (last < 4 * static_cast<std::int64_t>(docs.size()) + 1024) {
        byRow.resize(static_cast<std::size_t>(last) + 1);
        for (const auto& [id, doc] : docs)
            if (id >= 0)
                byRow[static_cast<std::size_t>(id)] = {&doc, doc.mtime, doc.words}; // a node stays
    }
    std::unique_lock<std::shared_mutex> lock(m_docsMutex);
    std::lock_guard<std::mutex> cacheLock(m_cacheMutex);
    {
        // Counts and weights are by the old rows. The words found in many documents are weighed
        // again a while after the last load (Foresee), others when a search meets them again:
        // a folder that changes every second does not have its words weighed every second.
        std::lock_guard<std::mutex> phraseLock(m_phraseMutex);
        m_weights.clear();
        m_weightsBytes = 0;
        m_phraseDocs.clear();
        m_phraseGeneration = m_generation + 1;
        m_foresee = true;
        // (At once after the first load of documents; after later ones, once the folders have
        // been quiet for ten seconds: one weighing for a run of edits.)
        m_foreseeAt = std::chrono::steady_clock::now() + std::chrono::seconds(m_foreseen ? 10 : 0);
    }
    m_docs.swap(docs);
    m_byRow.swap(byRow);
    m_paths.swap(paths);
    ++m_generation;
    m_cache.clear();
    m_cacheBytes = 0;
    m_weighWake.notify_one();
}

std::optional<std::int64_t> SqliteStore::DocumentInode(const std::string& index,
                                                       const std::string& path) {
    std::shared_lock<std::shared_mutex> lock(m_docsMutex);
    const auto it = m_paths.find(index + '\0' + path);
    return it == m_paths.end() ? std::nullopt : std::optional<std::int64_t>(it->second);
}

std::vector<IndexStatus> SqliteStore::Status() {
    std::vector<IndexStatus> status;
    for (const IndexedFolder& f : m_folders)
        status.push_back({f.name, 0, 0});
    Reader reader(*this);
    Statement counts(reader.Db(), "SELECT d.idx, count(*), sum(zdx_text_length(f.body)) "
                                  "FROM docs d JOIN fts f ON f.rowid = d.id GROUP BY d.idx");
    while (counts.Step())
        for (IndexStatus& s : status)
            if (s.name == counts.Text(0)) {
                s.documents = counts.Int(1);
                s.textBytes = counts.Int(2);
            }
    return status;
}

std::optional<std::string> SqliteStore::DocumentText(const std::string& index,
                                                     const std::string& path) {
    Reader reader(*this);
    Statement text(reader.Db(), "SELECT f.body FROM docs d JOIN fts f ON f.rowid = d.id "
                                "WHERE d.idx = ?1 AND d.path = ?2");
    text.Bind(1, index);
    text.Bind(2, path);
    if (!text.Step())
        return std::nullopt;
    std::string unpacked;
    return UnpackText(text.View(0), std::string::npos, unpacked) ? unpacked : text.Text(0);
}

SearchResult SqliteStore::Search(const SearchRequest& request) {
    SearchResult result;
    const ParsedQuery parsed = ParseQuery(request.query);
    const std::string fts = parsed.root ? FtsSyntax(*parsed.root) : std::string();
    const bool hasQuery = !request.query.empty();
    if (hasQuery && fts.empty())
        return result; // words of punctuation only: nothing can match

    // The same request (words, filter, indexes, date, count) gets the same answer until the
    // next scan changes the documents.
    std::string cacheKey = fts + '\0' + request.fileFilter + '\0' +
                           std::to_string(request.sinceSeconds) + '\0' +
                           std::to_string(request.maxHits) + '\0' + request.query;
    for (const std::string& name : request.indexes)
        cacheKey += '\0' + name;
    std::shared_ptr<const SearchResult> cached;
    {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        if (auto kept = m_cache.find(cacheKey); kept != m_cache.end())
            cached = kept->second.result;
    }
    if (cached)
        return *cached;

    std::shared_lock<std::shared_mutex> lock(m_docsMutex);
    const std::uint64_t generation = m_generation;
    const std::set<std::string> wanted(request.indexes.begin(), request.indexes.end());
    // The request's index and file-name filters; its date is compared where each way of
    // finding documents has it at hand (a row's, without reading the document).
    auto passes = [&](const DocInfo& d) {
        return (wanted.empty() || wanted.count(d.index)) &&
               (request.fileFilter.empty() || MatchFileName(request.fileFilter, d.name));
    };
    const bool filtered = !wanted.empty() || !request.fileFilter.empty();
    struct Candidate {
        const DocInfo* doc;
        std::int64_t id;
        double score; // lower is better
    };
    std::vector<Candidate> candidates;
    Reader reader(*this);
    sqlite3* db = reader.Db();
    // One read transaction for the match and every hit's text: one snapshot, and the
    // database's locks taken once rather than for each of up to a thousand statements.
    const ReadTransaction transaction(db);
    // A search of words and phrases that must all stand in a hit takes the frequent ones from
    // their kept weights: FTS5 matches and ranks the others (if any are left), and the weights
    // tell whether a row holds the rest and add their part to its score.
    const auto required = [](const QueryNode& node) {
        return node.kind == QueryNode::Kind::Word || node.kind == QueryNode::Kind::Phrase;
    };
    const bool allRequired =
        parsed.root &&
        (required(*parsed.root) ||
         (parsed.root->kind == QueryNode::Kind::And &&
          std::all_of(parsed.root->children.begin(), parsed.root->children.end(), required)));
    const MatchPhrases phrases = PhrasesOf(fts, generation);
    const std::vector<KeptWeights> weights = allRequired
                                                 ? WeightsOf(phrases.phrases, generation)
                                                 : std::vector<KeptWeights>(phrases.phrases.size());
    MatchPhrases rest{{}, generation};
    std::string restMatch;
    std::vector<const PhraseWeights*> kept;
    std::vector<double> keptIdf;
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (weights[i]) {
            kept.push_back(weights[i].get());
            keptIdf.push_back(InverseFrequency(weights[i]->rows, weights[i]->documents));
        } else {
            rest.phrases.push_back(phrases.phrases[i]);
            restMatch += (restMatch.empty() ? "" : " AND ") + phrases.phrases[i];
        }
    }
    const double keptMeanWords =
        kept.empty() || kept[0]->rows <= 0
            ? 1
            : static_cast<double>(kept[0]->words) / static_cast<double>(kept[0]->rows);
    // The kept phrases' part of a row's score; none when one of them is not in the row.
    const auto keptScore = [&](std::int64_t id, std::uint32_t words) -> std::optional<double> {
        const auto row = static_cast<std::size_t>(id);
        for (const PhraseWeights* w : kept)
            if (id < 0 || row >= w->frequency.size() || w->frequency[row] == 0)
                return std::nullopt;
        const double length = LengthFactor(words, keptMeanWords);
        double score = 0;
        for (std::size_t i = 0; i < kept.size(); ++i)
            score += PhraseScore(keptIdf[i], kept[i]->At(row), length);
        return score;
    };
    using Clock = std::chrono::steady_clock;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_searchMillis);
    if (hasQuery && !kept.empty() && rest.phrases.empty()) {
        candidates.reserve(static_cast<std::size_t>(kept[0]->documents));
        for (std::size_t row = 0; row < m_byRow.size(); ++row) {
            if (row % 1024 == 0) { // the same limits as a match's
                if (ServiceStopping())
                    throw std::runtime_error("the search was ended: the service is stopping");
                if (Clock::now() > deadline)
                    throw SearchTooCostly();
            }
            // The row's weights and its date first, the document itself only for its filters.
            const Row& r = m_byRow[row];
            if (!r.doc || r.mtime < request.sinceSeconds)
                continue;
            const auto score = keptScore(static_cast<std::int64_t>(row), r.words);
            if (score && (!filtered || passes(*r.doc)))
                candidates.push_back({r.doc, static_cast<std::int64_t>(row), -*score});
        }
    } else if (hasQuery) {
        // SQLite matches and ranks; the filters and the order are ours. A match that runs past
        // the time limit is interrupted.
        const Interruptible limit(
            db, 100,
            [](void* at) -> int {
                return Clock::now() > *static_cast<Clock::time_point*>(at) || ServiceStopping();
            },
            &deadline);
        const IndexForms forms(db);
        Statement match(db, "SELECT rowid, zdx_rank(fts) FROM fts WHERE fts MATCH ?1");
        match.Bind(1, kept.empty() ? fts : restMatch);
        struct Announce {
            explicit Announce(const MatchPhrases* p) { t_matchPhrases = p; }
            ~Announce() { t_matchPhrases = nullptr; }
        } announce(kept.empty() ? &phrases : &rest);
        try {
            while (match.Step()) {
                const std::int64_t id = match.Int(0);
                const Row r = RowAt(id);
                if (!r.doc || r.mtime < request.sinceSeconds || (filtered && !passes(*r.doc)))
                    continue;
                if (const auto score = keptScore(id, r.words))
                    candidates.push_back({r.doc, id, match.Real(1) - *score});
            }
        } catch (const std::runtime_error&) {
            if (sqlite3_errcode(db) != SQLITE_INTERRUPT)
                throw;
            if (ServiceStopping())
                throw std::runtime_error("the search was ended: the service is stopping");
            throw SearchTooCostly();
        }
        if (allRequired)
            WantWeights(rest.phrases, generation);
    } else {
        for (const auto& [id, doc] : m_docs)
            if (doc.mtime >= request.sinceSeconds && passes(doc))
                candidates.push_back({&doc, id, -static_cast<double>(doc.mtime)}); // newest first
    }
    result.found = static_cast<std::int64_t>(candidates.size());
    const std::size_t keep =
        std::min(candidates.size(), static_cast<std::size_t>(std::max(0, request.maxHits)));
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep),
                      candidates.end(), [](const Candidate& a, const Candidate& b) {
                          return a.score != b.score ? a.score < b.score : a.id < b.id;
                      });

    // Each hit shows where the words searched for stand closest together; the opening of its
    // text when they are only in the title. The passage is cut from the stored text here:
    // FTS5's snippet() would tokenize the whole document again.
    Statement body(db, "SELECT body FROM fts WHERE rowid = ?1");
    // Read as a blob, its opening first: a word found near the start of most texts needs no
    // more of them (and a text's opening is mostly on the page of its row, the rest on pages
    // of their own).
    struct Blob {
        sqlite3_blob* blob = nullptr;
        ~Blob() { sqlite3_blob_close(blob); }
    } blob;
    std::string text, packed;
    std::optional<PassageQuery> passages;
    if (parsed.root)
        passages.emplace(*parsed.root, m_languages);
    // A text's opening settles its passage for some queries (a frequent word) and hardly ever
    // for others (words seldom close together, which are looked for in most of the text): after
    // kOpeningTrial texts, the opening is tried first only while it settled at least a quarter
    // of them. Either way the passage is the same.
    constexpr std::size_t kOpeningTrial = 32;
    std::size_t openingTried = 0, openingSettled = 0;
    const auto tryOpening = [&](std::string_view opening) -> std::optional<Excerpt> {
        if (openingTried >= kOpeningTrial && openingSettled * 4 < openingTried)
            return std::nullopt;
        ++openingTried;
        auto excerpt = passages->BestInOpening(opening);
        openingSettled += excerpt.has_value();
        return excerpt;
    };
    const auto passage = [&](std::int64_t id) -> std::optional<Excerpt> {
        if (blob.blob ? sqlite3_blob_reopen(blob.blob, id) != SQLITE_OK
                      : sqlite3_blob_open(db, "main", "fts_content", "c0", id, 0, &blob.blob) !=
                            SQLITE_OK) {
            sqlite3_blob_close(blob.blob); // unusable after a failed reopen
            blob.blob = nullptr;
            return std::nullopt;
        }
        // A passage is looked for in the first kExcerptScanBytes of a text, and its context
        // reaches no further than a passage's length past them: the rest is never read.
        constexpr std::size_t kRead = kExcerptScanBytes + kExcerptBytes + 1;
        const std::size_t stored = static_cast<std::size_t>(sqlite3_blob_bytes(blob.blob));
        // Appends `size` bytes from `offset` on to `into`.
        const auto append = [&](std::string& into, std::size_t size, std::size_t offset) {
            const std::size_t at = into.size();
            into.resize(at + size);
            return sqlite3_blob_read(blob.blob, into.data() + at, static_cast<int>(size),
                                     static_cast<int>(offset)) == SQLITE_OK;
        };
        text.clear();
        if (!append(text, std::min(stored, kPackedHeaderBytes + kOpeningBytes), 0))
            return std::nullopt;
        if (IsPacked(text)) { // the opening as it stands, then the rest to unpack
            const std::size_t whole = TextLength(text);
            const std::size_t length = std::min(whole, kRead);
            const std::size_t opening = std::min(whole, kOpeningBytes);
            // In place: the buffer keeps its room for the unpacked rest of the next texts.
            text.erase(0, kPackedHeaderBytes);
            text.resize(std::min(opening, length));
            if (length <= opening)
                return passages->Best(text);
            if (auto excerpt = tryOpening(text))
                return excerpt;
            // n bytes of text take at most n + n / 255 + 16 bytes of an LZ4 block (all of them
            // as they stand, with their lengths).
            const std::size_t rest = kPackedHeaderBytes + opening, need = length - opening;
            packed.clear();
            if (stored < rest ||
                !append(packed, std::min(stored - rest, need + need / 255 + 16), rest))
                return std::nullopt;
            // A further stretch first, as an opening: it settles the passage of words that
            // stand a little past the opening without unpacking the whole text (a text is
            // unpacked from its start, so the stretch is unpacked twice when it does not).
            constexpr std::size_t kStretch = 2048;
            if (need > 2 * kStretch) {
                const std::size_t at = text.size();
                if (!UnpackRest(packed, kStretch, text))
                    return std::nullopt;
                if (auto excerpt = passages->BestInOpening(text))
                    return excerpt;
                text.resize(at);
            }
            if (!UnpackRest(packed, need, text))
                return std::nullopt;
            return passages->Best(text);
        }
        const std::size_t size = std::min(stored, kRead);
        const std::size_t opening = std::min(size, kOpeningBytes);
        if (opening < size)
            if (auto excerpt = tryOpening(std::string_view(text).substr(0, opening)))
                return excerpt;
        if (text.size() < size && !append(text, size - text.size(), text.size()))
            return std::nullopt;
        return passages->Best(text);
    };
    result.documents.reserve(keep);
    for (std::size_t i = 0; i < keep; ++i) {
        const DocInfo& info = *candidates[i].doc;
        Document d;
        d.index = info.index;
        d.path = info.path;
        d.name = info.name;
        d.title = info.title;
        d.format = info.format;
        d.author = info.author;
        d.size = info.size;
        d.mtime = info.mtime;
        d.score = hasQuery ? candidates[i].score : 0;
        if (parsed.root) {
            std::optional<Excerpt> excerpt = passage(candidates[i].id);
            if (!excerpt) { // no blob to read (a text held otherwise): read it whole
                body.Bind(1, candidates[i].id);
                if (body.Step())
                    excerpt = passages->Best(
                        UnpackText(body.View(0), std::string::npos, text) ? text : body.View(0));
                body.Reset();
            }
            if (excerpt && !excerpt->text.empty()) {
                d.snippet = std::move(excerpt->text);
                d.matches = std::move(excerpt->matches);
            }
        }
        if (d.snippet.empty()) // no passage: the opening of the text
            d.snippet = info.summary;
        result.documents.push_back(std::move(d));
    }
    lock.unlock();
    KeepAnswer(std::move(cacheKey), result, generation);
    return result;
}

void SqliteStore::KeepAnswer(std::string key, const SearchResult& result,
                             std::uint64_t generation) {
    // Kept unless a scan has loaded newer documents meanwhile, or it is too large. The copy is
    // made, and the answers it displaces are dropped, outside the lock.
    const std::size_t bytes = AnswerBytes(key, result);
    if (bytes > m_cacheLimit / 10)
        return;
    auto kept = std::make_shared<const SearchResult>(result);
    std::vector<std::shared_ptr<const SearchResult>> dropped;
    std::lock_guard<std::mutex> cacheLock(m_cacheMutex);
    if (generation != m_generation || m_cache.count(key))
        return;
    while (m_cacheBytes + bytes > m_cacheLimit && !m_cache.empty()) {
        m_cacheBytes -= m_cache.begin()->second.bytes;
        dropped.push_back(std::move(m_cache.begin()->second.result));
        m_cache.erase(m_cache.begin());
    }
    m_cacheBytes += bytes;
    m_cache.emplace(std::move(key), KeptAnswer{std::move(kept), bytes});
}

} // namespace zdxserver
