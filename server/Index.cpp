#include "Index.h"

#include "Protocol.h"

#include "text/Codepage.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

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

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string Extension(const std::string& name) {
    const std::size_t dot = name.rfind('.');
    return dot == std::string::npos ? std::string() : Lower(name.substr(dot + 1));
}

std::string AsUtf8(const std::string& bytes) {
    return IsValidUtf8(bytes) ? bytes : Cp1252ToUtf8(bytes);
}

std::string Collapse(const std::string& text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f';
        if (space) {
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

// The text between <tag ...> and </tag>, case-insensitive, or empty.
std::string Element(const std::string& html, const std::string& lowerHtml, const char* tag) {
    const std::string open = std::string("<") + tag;
    std::size_t at = lowerHtml.find(open);
    if (at == std::string::npos)
        return {};
    at = lowerHtml.find('>', at);
    const std::size_t end = lowerHtml.find(std::string("</") + tag, at);
    if (at == std::string::npos || end == std::string::npos)
        return {};
    return html.substr(at + 1, end - at - 1);
}

std::string DecodeEntities(const std::string& text) {
    static const std::pair<const char*, const char*> kEntities[] = {
        {"&amp;", "&"}, {"&lt;", "<"},   {"&gt;", ">"},  {"&quot;", "\""},
        {"&#39;", "'"}, {"&nbsp;", " "}, {"&apos;", "'"}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&')
            for (const auto& [entity, value] : kEntities)
                if (text.compare(i, std::strlen(entity), entity) == 0) {
                    out += value;
                    i += std::strlen(entity);
                    replaced = true;
                    break;
                }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

std::string StripTags(const std::string& html) {
    std::string lower = Lower(html);
    std::string out;
    std::size_t i = 0;
    while (i < html.size()) {
        if (html[i] != '<') {
            out += html[i++];
            continue;
        }
        // Scripts and styles hold no text for a reader.
        for (const char* skip : {"script", "style"}) {
            if (lower.compare(i + 1, std::strlen(skip), skip) == 0) {
                const std::size_t end = lower.find(std::string("</") + skip, i);
                i = end == std::string::npos ? html.size() : end;
                break;
            }
        }
        const std::size_t close = html.find('>', i);
        i = close == std::string::npos ? html.size() : close + 1;
        out += ' ';
    }
    return DecodeEntities(out);
}

// The opening of a text, cut at a character boundary.
std::string Summary(const std::string& body) {
    std::size_t n = std::min<std::size_t>(body.size(), 160);
    while (n > 0 && n < body.size() && (static_cast<unsigned char>(body[n]) & 0xC0) == 0x80)
        --n;
    return body.substr(0, n);
}

std::string FormatOf(const std::string& extension) {
    static const std::map<std::string, std::string> kFormats = {
        {"txt", "Text"}, {"text", "Text"}, {"md", "Markdown"}, {"markdown", "Markdown"},
        {"htm", "HTML"}, {"html", "HTML"}, {"pdf", "PDF"},     {"csv", "CSV"},
        {"log", "Text"}, {"doc", "Word"},  {"docx", "Word"},   {"odt", "OpenDocument"}};
    auto it = kFormats.find(extension);
    if (it != kFormats.end())
        return it->second;
    std::string upper = extension;
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper.empty() ? "File" : upper;
}

} // namespace

Extracted ExtractText(const std::string& fileName, const std::string& bytes) {
    Extracted e;
    const std::string extension = Extension(fileName);
    e.format = FormatOf(extension);
    e.title = fileName;
    static const std::set<std::string> kText = {"txt", "text", "md", "markdown", "csv", "log"};
    const bool html = extension == "htm" || extension == "html";
    if (!html && !kText.count(extension))
        return e; // indexed by name only
    if (bytes.find('\0') != std::string::npos)
        return e; // binary after all
    const std::string text = AsUtf8(bytes.substr(0, Index::kMaxTextBytes));
    e.textual = true;
    if (html) {
        const std::string lower = Lower(text);
        const std::string title = Collapse(DecodeEntities(Element(text, lower, "title")));
        if (!title.empty())
            e.title = title;
        // <meta name="author" content="...">
        const std::size_t meta = lower.find("name=\"author\"");
        if (meta != std::string::npos) {
            const std::size_t content = lower.find("content=\"", lower.rfind('<', meta));
            if (content != std::string::npos) {
                const std::size_t end = text.find('"', content + 9);
                if (end != std::string::npos)
                    e.author =
                        Collapse(DecodeEntities(text.substr(content + 9, end - content - 9)));
            }
        }
        e.body = Collapse(StripTags(text));
        return e;
    }
    std::string body = text;
    if (extension == "md" || extension == "markdown") {
        // Front matter may name the author; the first heading is the title.
        if (body.rfind("---\n", 0) == 0) {
            const std::size_t end = body.find("\n---", 4);
            if (end != std::string::npos) {
                const std::string front = body.substr(4, end - 4);
                const std::size_t author = front.find("author:");
                if (author != std::string::npos)
                    e.author =
                        Collapse(front.substr(author + 7, front.find('\n', author) - author - 7));
                body = body.substr(std::min(body.size(), end + 4));
            }
        }
        std::size_t line = 0;
        while (line < body.size()) {
            const std::size_t end = body.find('\n', line);
            const std::string row = body.substr(line, end == std::string::npos ? end : end - line);
            if (row.rfind("# ", 0) == 0) {
                e.title = Collapse(row.substr(2));
                break;
            }
            if (end == std::string::npos)
                break;
            line = end + 1;
        }
    }
    if (extension == "txt" || extension == "text") {
        // A short first line followed by more text reads as the title.
        const std::size_t start = body.find_first_not_of(" \t\r\n");
        const std::size_t end = start == std::string::npos ? start : body.find('\n', start);
        if (end != std::string::npos && end - start <= 80) {
            const std::string first = Collapse(body.substr(start, end - start));
            if (!first.empty() && body.find_first_not_of(" \t\r\n", end) != std::string::npos)
                e.title = first;
        }
    }
    e.body = Collapse(body);
    return e;
}

Index::Index(const std::string& dbPath, std::vector<IndexedFolder> folders)
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
    sqlite3* db = Connection();
    Exec(db, "PRAGMA journal_mode=WAL");
    {
        // A database of an older layout is built anew.
        Statement version(db, "PRAGMA user_version");
        version.Step();
        if (version.Int(0) != kSchemaVersion)
            Exec(db, "DROP TABLE IF EXISTS docs; DROP TABLE IF EXISTS fts;");
    }
    // A file is known by its index and path (an index may lie inside another, and each holds
    // the file); its size, modification time in nanoseconds and inode tell whether it changed.
    Exec(db, "CREATE TABLE IF NOT EXISTS docs(id INTEGER PRIMARY KEY, idx TEXT NOT NULL,"
             " path TEXT NOT NULL, name TEXT NOT NULL, title TEXT, summary TEXT,"
             " format TEXT, author TEXT, size INTEGER, mtime INTEGER, mtime_ns INTEGER,"
             " inode INTEGER, UNIQUE(idx, path));"
             "CREATE INDEX IF NOT EXISTS docs_idx ON docs(idx);"
             "CREATE VIRTUAL TABLE IF NOT EXISTS fts USING fts5(title, body,"
             " tokenize='unicode61 remove_diacritics 2');"
             "PRAGMA user_version = 3;");
    // Fewer, larger merges of the full-text segments while files are added in bulk.
    Exec(db, "INSERT INTO fts(fts, rank) VALUES('automerge', 8)");
    LoadDocuments();
}

Index::~Index() {
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    for (sqlite3* db : m_connections)
        sqlite3_close_v2(db);
}

sqlite3* Index::Open() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(m_dbPath.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        throw std::runtime_error("cannot open " + m_dbPath + ": " + message);
    }
    sqlite3_busy_timeout(db, 10000);
    // A larger page cache than SQLite's 2 MB saves re-reading the index on every search.
    Exec(db, "PRAGMA cache_size = -12000");
    // The index can always be built again from the files: a crash may lose the last commits,
    // never the database, and commits need not wait for the disk.
    Exec(db, "PRAGMA synchronous = NORMAL");
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_connections.push_back(db);
    return db;
}

sqlite3* Index::Connection() {
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

Index::Reader::Reader(Index& index) : m_index(index) {
    std::unique_lock<std::mutex> lock(index.m_readersMutex);
    // As many connections as searches can usefully run at once: each keeps its own page
    // cache, so one per worker thread would cost memory for nothing.
    const std::size_t limit = std::max(2u, 2 * std::thread::hardware_concurrency());
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
        m_db = index.Open();
    } catch (...) {
        std::lock_guard<std::mutex> again(index.m_readersMutex);
        --index.m_readerCount;
        index.m_readerFree.notify_one();
        throw;
    }
}

Index::Reader::~Reader() {
    {
        std::lock_guard<std::mutex> lock(m_index.m_readersMutex);
        m_index.m_readers.push_back(m_db);
    }
    m_index.m_readerFree.notify_one();
}

bool DocumentStore::HasIndex(const std::string& name) const {
    for (const auto& f : Folders())
        if (f.name == name)
            return true;
    return false;
}

namespace {

// True when `path` is one of the places or lies inside one of them.
bool UnderAny(const std::string& path, const std::vector<std::string>& places) {
    for (const std::string& p : places)
        if (path.compare(0, p.size(), p) == 0 && (path.size() == p.size() || path[p.size()] == '/'))
            return true;
    return false;
}

} // namespace

std::string KnownFileKey(const std::string& index, const std::string& path) {
    return index + '\0' + path;
}

ScanStats ScanFolders(const std::vector<IndexedFolder>& folders,
                      std::unordered_map<std::string, KnownFile>& known, ScanTarget& target) {
    ScanStats stats;
    // Folders (and files) that could not be read this time: what is indexed there stays.
    std::vector<std::string> unreadable;
    auto skip = [&](const fs::path& where, const std::error_code& error) {
        // Skipped, not given up: the rest of the scan goes on.
        std::fprintf(stderr, "zdx-server: cannot read %s (%s); what is indexed there is kept\n",
                     where.c_str(), error.message().c_str());
        unreadable.push_back(where.string());
        ++stats.skippedFolders;
    };
    for (const IndexedFolder& folder : folders) {
        std::vector<fs::path> pending = {folder.root};
        while (!pending.empty()) {
            const fs::path dir = pending.back();
            pending.pop_back();
            std::error_code ec;
            fs::directory_iterator it(dir, ec);
            for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
                const fs::directory_entry& entry = *it;
                std::error_code statError;
                // Hidden files and folders are left out, as file managers leave them out.
                if (entry.path().filename().string().front() == '.')
                    continue;
                const fs::file_status status = entry.symlink_status(statError);
                if (statError) {
                    skip(entry.path(), statError);
                    continue;
                }
                // Links are not followed: nothing outside the folder is ever indexed.
                if (fs::is_symlink(status))
                    continue;
                if (fs::is_directory(status)) {
                    pending.push_back(entry.path());
                    continue;
                }
                if (!fs::is_regular_file(status))
                    continue;
                FileChange change;
                change.folder = &folder;
                change.path = entry.path().string();
                struct stat info {};
                if (lstat(change.path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
                    continue;
                change.size = info.st_size;
                change.mtime = info.st_mtim.tv_sec;
                change.mtimeNs = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
                change.inode = static_cast<std::int64_t>(info.st_ino);
                auto found = known.find(KnownFileKey(folder.name, change.path));
                if (found != known.end()) {
                    found->second.seen = true;
                    if (found->second.size == change.size &&
                        found->second.mtimeNs == change.mtimeNs &&
                        found->second.inode == change.inode) {
                        ++stats.unchanged;
                        continue;
                    }
                }
                std::string bytes;
                {
                    const int fd = open(change.path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
                    if (fd < 0)
                        continue; // unreadable: left for the next scan
                    // Sized by the file (at most the text limit), not zero-filled to it.
                    bytes.resize(static_cast<std::size_t>(std::clamp<std::int64_t>(
                        change.size, 0, static_cast<std::int64_t>(Index::kMaxTextBytes))));
                    std::size_t got = 0;
                    for (ssize_t n; got < bytes.size() &&
                                    (n = read(fd, bytes.data() + got, bytes.size() - got)) > 0;)
                        got += static_cast<std::size_t>(n);
                    bytes.resize(got);
                    close(fd);
                }
                change.name = entry.path().filename().string();
                change.text = ExtractText(change.name, bytes);
                change.summary = Summary(change.text.body);
                change.id = found == known.end() ? -1 : found->second.id;
                const std::int64_t id = target.Put(change);
                if (found == known.end()) {
                    known[KnownFileKey(folder.name, change.path)] = {
                        id, change.size, change.mtimeNs, change.inode, true};
                    ++stats.added;
                } else {
                    found->second.size = change.size;
                    found->second.mtimeNs = change.mtimeNs;
                    found->second.inode = change.inode;
                    ++stats.updated;
                }
                stats.bytes += static_cast<std::int64_t>(bytes.size());
                target.Tick();
            }
            if (ec)
                skip(dir, ec);
        }
    }
    for (const auto& [where, doc] : known) {
        if (doc.seen || UnderAny(where.substr(where.find('\0') + 1), unreadable))
            continue;
        target.Remove(doc.id);
        ++stats.removed;
        target.Tick();
    }
    return stats;
}

namespace {

// The SQLite side of a scan.
class SqliteScan : public ScanTarget {
public:
    explicit SqliteScan(sqlite3* db)
        : m_db(db),
          m_insertDoc(db, "INSERT INTO docs(idx, path, name, format, author, size, mtime,"
                          " mtime_ns, inode, title, summary) VALUES(?,?,?,?,?,?,?,?,?,?,?)"),
          m_updateDoc(db, "UPDATE docs SET name=?, format=?, author=?, size=?, mtime=?,"
                          " mtime_ns=?, inode=?, title=?, summary=? WHERE id=?"),
          m_deleteDoc(db, "DELETE FROM docs WHERE id=?"),
          m_insertText(db, "INSERT INTO fts(rowid, title, body) VALUES(?,?,?)"),
          m_deleteText(db, "DELETE FROM fts WHERE rowid=?") {}

    std::int64_t Put(const FileChange& c) override {
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
        m_insertText.Run(id, c.text.title, c.text.body);
        return id;
    }
    void Remove(std::int64_t id) override {
        m_deleteDoc.Run(id);
        m_deleteText.Run(id);
    }
    // Changes are committed every quarter second, so that searches see them soon and a scan
    // never holds the write lock for long, while the inserts still go in large batches.
    void Tick() override {
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastCommit >= std::chrono::milliseconds(250)) {
            Exec(m_db, "COMMIT; BEGIN");
            m_lastCommit = now;
        }
    }

private:
    sqlite3* m_db;
    Statement m_insertDoc, m_updateDoc, m_deleteDoc, m_insertText, m_deleteText;
    std::chrono::steady_clock::time_point m_lastCommit = std::chrono::steady_clock::now();
};

} // namespace

ScanStats Index::Scan() {
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
        SqliteScan target(db);
        stats = ScanFolders(m_folders, known, target);
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    LoadDocuments();
    return stats;
}

void Index::LoadDocuments() {
    std::unordered_map<std::int64_t, DocInfo> docs;
    Statement all(Connection(), "SELECT id, idx, path, name, title, summary, format, author,"
                                " mtime, size FROM docs");
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
    }
    std::unordered_set<std::string> paths;
    paths.reserve(docs.size());
    for (const auto& [id, d] : docs)
        paths.insert(d.index + '\0' + d.path);
    std::unique_lock<std::shared_mutex> lock(m_docsMutex);
    std::lock_guard<std::mutex> cacheLock(m_cacheMutex);
    m_docs.swap(docs);
    m_paths.swap(paths);
    ++m_generation;
    m_cache.clear();
}

bool Index::HasDocument(const std::string& index, const std::string& path) {
    std::shared_lock<std::shared_mutex> lock(m_docsMutex);
    return m_paths.count(index + '\0' + path) > 0;
}

SearchResult Index::Search(const SearchRequest& request) {
    SearchResult result;
    const std::string fts = FtsExpression(request.query);
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
    {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        auto cached = m_cache.find(cacheKey);
        if (cached != m_cache.end())
            return cached->second;
    }

    std::shared_lock<std::shared_mutex> lock(m_docsMutex);
    const std::uint64_t generation = m_generation;
    const std::set<std::string> wanted(request.indexes.begin(), request.indexes.end());
    auto passes = [&](const DocInfo& d) {
        return d.mtime >= request.sinceSeconds && (wanted.empty() || wanted.count(d.index)) &&
               (request.fileFilter.empty() || MatchFileName(request.fileFilter, d.name));
    };
    struct Candidate {
        const DocInfo* doc;
        std::int64_t id;
        double score; // lower is better
    };
    std::vector<Candidate> candidates;
    Reader reader(*this);
    sqlite3* db = reader.Db();
    if (hasQuery) {
        // SQLite matches and ranks; the filters and the order are ours.
        Statement match(db, "SELECT rowid, bm25(fts, 5.0, 1.0) FROM fts WHERE fts MATCH ?1");
        match.Bind(1, fts);
        while (match.Step()) {
            auto it = m_docs.find(match.Int(0));
            if (it != m_docs.end() && passes(it->second))
                candidates.push_back({&it->second, it->first, match.Real(1)});
        }
    } else {
        for (const auto& [id, doc] : m_docs)
            if (passes(doc))
                candidates.push_back({&doc, id, -static_cast<double>(doc.mtime)}); // newest first
    }
    result.found = static_cast<std::int64_t>(candidates.size());
    const std::size_t keep =
        std::min(candidates.size(), static_cast<std::size_t>(std::max(0, request.maxHits)));
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(keep),
                      candidates.end(), [](const Candidate& a, const Candidate& b) {
                          return a.score != b.score ? a.score < b.score : a.id < b.id;
                      });

    // A snippet around the words searched for, for the leading hits; the opening of the text
    // for the rest. The snippet is cut from the stored text here: FTS5's snippet() would
    // tokenize every document again.
    Statement body(db, "SELECT body FROM fts WHERE rowid = ?1");
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
        d.snippet = info.summary;
        if (hasQuery && i < kSnippetHits) {
            body.Bind(1, candidates[i].id);
            if (body.Step())
                d.snippet = Snippet(body.Text(0), request.query);
            body.Reset();
        }
        result.documents.push_back(std::move(d));
    }
    lock.unlock();
    {
        std::lock_guard<std::mutex> cacheLock(m_cacheMutex);
        if (generation == m_generation) { // no scan has loaded newer documents meanwhile
            if (m_cache.size() >= kCachedAnswers)
                m_cache.erase(m_cache.begin());
            m_cache.emplace(std::move(cacheKey), result);
        }
    }
    return result;
}

} // namespace zdxserver
