#pragma once
// The full-text index of zdx-server: the files under each indexed folder in SQLite FTS5, kept
// up to date by modification time.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

struct sqlite3;

namespace zdxserver {

struct IndexedFolder {
    std::string name;
    std::string root; // absolute, canonical
};

struct SearchRequest {
    std::string query;                // UTF-8, may be empty
    std::string fileFilter;           // pattern with * and ?, may be empty
    std::vector<std::string> indexes; // names; empty: all
    std::int64_t sinceSeconds = 0;    // only files changed at or after this time (0: any)
    int maxHits = 999;
};

struct Document {
    std::string index, path, name, title, format, author, snippet;
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    double score = 0; // FTS5 rank (more negative is better); 0 without a query
};

struct SearchResult {
    std::int64_t found = 0;
    std::vector<Document> documents; // at most maxHits, best first
};

struct ScanStats {
    int added = 0, updated = 0, removed = 0, unchanged = 0;
    int skippedFolders = 0; // folders that could not be read; their documents were kept
    std::int64_t bytes = 0; // read from new and changed files
};

// What the service searches: the documents of the indexed folders. The SQLite index is the
// embedded default; PostgreSQL can hold the same for several service processes.
class DocumentStore {
public:
    virtual ~DocumentStore() = default;
    // Brings the store up to date with the folders. Safe to run while searches run.
    virtual ScanStats Scan() = 0;
    virtual SearchResult Search(const SearchRequest& request) = 0;
    // True when the file at `path` is a document of the index `index`.
    virtual bool HasDocument(const std::string& index, const std::string& path) = 0;
    virtual const std::vector<IndexedFolder>& Folders() const = 0;
    bool HasIndex(const std::string& name) const;
};

class Index : public DocumentStore {
public:
    // Opens (or creates) the database; throws std::runtime_error on failure.
    Index(const std::string& dbPath, std::vector<IndexedFolder> folders);
    ~Index();
    Index(const Index&) = delete;
    Index& operator=(const Index&) = delete;

    // Brings the index up to date with the folders: new and changed files are read, vanished
    // ones dropped. Safe to run while searches run.
    ScanStats Scan() override;

    SearchResult Search(const SearchRequest& request) override;

    const std::vector<IndexedFolder>& Folders() const override { return m_folders; }
    bool HasDocument(const std::string& index, const std::string& path) override;

    // How much of a file goes into the index.
    static constexpr std::size_t kMaxTextBytes = 1u << 20;
    // How many of the best hits get a snippet around the words searched for.
    static constexpr std::size_t kSnippetHits = 50;
    static constexpr int kSchemaVersion = 3;
    // How many recent answers are kept.
    static constexpr std::size_t kCachedAnswers = 256;

private:
    sqlite3* Open();       // a new connection, closed with the index
    sqlite3* Connection(); // one per thread
    // A connection borrowed from the pool for one search.
    class Reader {
    public:
        explicit Reader(Index& index);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        sqlite3* Db() const { return m_db; }

    private:
        Index& m_index;
        sqlite3* m_db = nullptr;
    };
    void LoadDocuments(); // the document table into memory, after a scan

    // What a hit shows of a document, kept in memory: searches read it without SQLite.
    struct DocInfo {
        std::string index, path, name, title, summary, format, author;
        std::int64_t mtime = 0;
        std::uint64_t size = 0;
    };
    std::shared_mutex m_docsMutex;
    std::unordered_map<std::int64_t, DocInfo> m_docs;
    std::unordered_set<std::string> m_paths; // index name, NUL, path
    std::uint64_t m_generation = 0;          // counts the loads of the documents (cache lock)
    // Recent answers by their request, dropped whenever the documents are loaded again.
    std::mutex m_cacheMutex;
    std::unordered_map<std::string, SearchResult> m_cache;
    std::uint64_t m_instance = 0;
    std::string m_dbPath;
    std::vector<IndexedFolder> m_folders;
    std::mutex m_scanMutex;
    std::mutex m_connectionsMutex;
    std::vector<sqlite3*> m_connections; // every connection, closed with the index
    std::mutex m_readersMutex;
    std::condition_variable m_readerFree;
    std::vector<sqlite3*> m_readers; // idle search connections
    std::size_t m_readerCount = 0;
};

// The document's text and metadata as the index takes them, from a file's bytes.
struct Extracted {
    std::string title, body, author, format;
    bool textual = false;
};
Extracted ExtractText(const std::string& fileName, const std::string& bytes);

// What a store knows of a file from its last scan, by KnownFileKey(index, path).
struct KnownFile {
    std::int64_t id = 0, size = 0, mtimeNs = 0, inode = 0;
    bool seen = false;
};
std::string KnownFileKey(const std::string& index, const std::string& path);

// A new or changed file, read and extracted.
struct FileChange {
    const IndexedFolder* folder = nullptr;
    std::string path, name, summary;
    Extracted text;
    std::int64_t size = 0, mtime = 0, mtimeNs = 0, inode = 0;
    std::int64_t id = -1; // the document's id, or -1 for a new one
};

// Where a scan puts what it finds: one store's tables.
class ScanTarget {
public:
    virtual ~ScanTarget() = default;
    // Stores a new or changed document; returns its id.
    virtual std::int64_t Put(const FileChange& change) = 0;
    virtual void Remove(std::int64_t id) = 0;
    // Called after each change: a chance to commit.
    virtual void Tick() = 0;
};

// Walks the folders (no links, no hidden files), reads what is new or changed since `known`
// says, and hands it to `target`; documents no longer found are removed, except under a folder
// that could not be read.
ScanStats ScanFolders(const std::vector<IndexedFolder>& folders,
                      std::unordered_map<std::string, KnownFile>& known, ScanTarget& target);

} // namespace zdxserver
