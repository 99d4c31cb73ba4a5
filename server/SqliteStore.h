#pragma once
// The embedded store of zdx-server: SQLite FTS5 in one file.
#include "Scan.h"
#include "Store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

struct sqlite3;
struct sqlite3_context;
struct sqlite3_value;
struct Fts5Context;
struct Fts5ExtensionApi;

namespace zdxserver {

// The SQLite FTS5 store: the files under each indexed folder, kept up to date by modification
// time; the documents' display fields are held in memory for searches.
class SqliteStore : public DocumentStore {
public:
    // Opens (or creates) the database; throws std::runtime_error on failure.
    SqliteStore(const std::string& dbPath, std::vector<IndexedFolder> folders);
    ~SqliteStore();
    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

    // Brings the index up to date with the folders: new and changed files are read, vanished
    // ones dropped. Safe to run while searches run.
    ScanStats Scan() override;

    SearchResult Search(const SearchRequest& request) override;

    // A change made in another store, taken into this one (a node's own copy of a shared
    // index): the document at the change's index and path stored as the change has it, or
    // removed.
    struct TakenChange {
        FileChange file; // its folder and path, and unless removed the rest
        bool removed = false;
    };
    // Takes the changes in their order, in one transaction. `load`: searches see them at once
    // (every document is loaded again, which a long run of batches does once, at its end).
    void TakeChanges(std::vector<TakenChange>& changes, bool load);
    // The words found in many documents weighed at once rather than once the documents have
    // been quiet for a while: a run of loads is over (a copy has caught up before searches).
    void WeighSoon();

    const std::vector<IndexedFolder>& Folders() const override { return m_folders; }
    std::optional<std::int64_t> DocumentInode(const std::string& index,
                                              const std::string& path) override;
    std::optional<std::string> DocumentText(const std::string& index,
                                            const std::string& path) override;
    std::vector<IndexStatus> Status() override;

    static constexpr int kSchemaVersion = 8; // 8: long texts packed
    // Recent answers are kept up to this many bytes (0: none); an answer over a tenth of it is
    // never kept, so that no one request fills it.
    void SetCacheLimit(std::size_t bytes) {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        m_cacheLimit = bytes;
    }
    std::size_t CacheBytes() {
        std::lock_guard<std::mutex> lock(m_cacheMutex);
        return m_cacheBytes;
    }

    // How many phrases have their weights kept.
    std::size_t WeightsKept() {
        std::lock_guard<std::mutex> lock(m_phraseMutex);
        return m_weights.size();
    }

private:
    // A new connection with a page cache of `cacheKiB`, closed with the index; with `mapped`,
    // reading the database from the mapping the process shares.
    sqlite3* Open(int cacheKiB = 12000, bool mapped = false);
    sqlite3* Connection(); // one per thread
    // A connection borrowed from the pool for one search.
    class Reader {
    public:
        explicit Reader(SqliteStore& index);
        ~Reader();
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        sqlite3* Db() const { return m_db; }

    private:
        SqliteStore& m_index;
        sqlite3* m_db = nullptr;
    };
    void LoadDocuments(); // the document table into memory, after a scan
    // When changes were committed that searches do not see yet: the write-ahead log back into
    // the database, and the documents loaded (scan lock).
    void LoadCommitted(sqlite3* db);
    // The tokenizer's language number of each index.
    std::map<std::string, std::size_t> LanguageNumbers() const;
    // Keeps an answer within the cache's bytes, if the documents are still those it read.
    void KeepAnswer(std::string key, const SearchResult& result, std::uint64_t generation);

    // What a hit shows of a document, kept in memory: searches read it without SQLite.
    struct DocInfo {
        std::string index, path, name, title, summary, format, author;
        std::int64_t mtime = 0;
        std::uint64_t size = 0;
        std::uint32_t words = 0; // words indexed in its title and text
    };
    // The rank function "zdx_rank" of the full-text table: BM25 (title weighs 5, text 1) as
    // FTS5's bm25() computes it, with each document's length from memory instead of a lookup
    // in the database for every row. Called only while a search holds the documents' lock.
    static void Rank(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result,
                     int count, sqlite3_value** values);
    std::shared_mutex m_docsMutex;
    std::unordered_map<std::int64_t, DocInfo> m_docs;
    // The same by row number while the numbers are dense (a search looks a document up for
    // every row it matches), with what a search reads of every such row side by side; empty
    // otherwise.
    struct Row {
        const DocInfo* doc = nullptr;
        std::int64_t mtime = 0;
        std::uint32_t words = 0;
    };
    std::vector<Row> m_byRow;
    // A row's document (null: none) with its date and length, from m_byRow while it is
    // filled: a match reads these of every row, and a document's own node is seldom in the
    // processor's cache.
    Row RowAt(std::int64_t id) const;
    // How many documents hold each phrase of recent matches, by its text there, counted in the
    // documents' generation `m_phraseGeneration`: a word in every document is not counted again
    // for every search that holds it.
    mutable std::mutex m_phraseMutex;
    mutable std::uint64_t m_phraseGeneration = 0;
    mutable std::unordered_map<std::string, std::int64_t> m_phraseDocs;
    std::optional<std::int64_t> PhraseDocs(const std::string& phrase,
                                           std::uint64_t generation) const;
    void KeepPhraseDocs(const std::string& phrase, std::uint64_t generation,
                        std::int64_t documents) const;
    // How often each frequent phrase stands in every row, kept for the documents' generation
    // (under m_phraseMutex): a search of words found in many documents ranks from these
    // instead of reading and merging their long lists of places again.
    struct PhraseWeights {
        // By row number, as the rank counts it (0: absent), a byte a row: kBeyond stands for
        // a frequency of 255 or more, kept in `beyond`, by row.
        static constexpr std::uint8_t kBeyond = 255;
        std::vector<std::uint8_t> frequency;
        std::vector<std::pair<std::size_t, std::uint32_t>> beyond;
        std::int64_t documents = 0;       // the rows that hold it
        std::int64_t rows = 0, words = 0; // the index's rows and words when it was counted
        std::uint32_t At(std::size_t row) const {
            const std::uint8_t f = frequency[row];
            if (f != kBeyond)
                return f;
            const auto it = std::lower_bound(beyond.begin(), beyond.end(),
                                             std::make_pair(row, std::uint32_t{0}));
            return it != beyond.end() && it->first == row ? it->second : kBeyond;
        }
        std::size_t Bytes() const { return frequency.size() + beyond.size() * sizeof(beyond[0]); }
    };
    using KeptWeights = std::shared_ptr<const PhraseWeights>;
    std::unordered_map<std::string, KeptWeights> m_weights;
    std::size_t m_weightsBytes = 0;
    // The weights of each phrase, null where not kept (all null unless those kept were
    // counted on the same rows).
    std::vector<KeptWeights> WeightsOf(const std::vector<std::string>& phrases,
                                       std::uint64_t generation) const;
    // Phrases of searches that stand in a fifth of the documents or more wait to be weighed,
    // on a thread of their own, so that no search waits for it.
    void WantWeights(const std::vector<std::string>& phrases, std::uint64_t generation);
    void Weigh(const std::string& phrase);
    // The words found in a fifth of a sample of the texts or more, queued to be weighed after
    // the documents are loaded, so that the first search of such a word is as quick as the
    // next (a load that comes before they are weighed leaves the rest unweighed).
    void Foresee();
    bool m_foresee = false;  // due at m_foreseeAt (phrase lock)
    bool m_foreseen = false; // once, on documents
    std::chrono::steady_clock::time_point m_foreseeAt;
    static void Weight(const Fts5ExtensionApi* api, Fts5Context* fts, sqlite3_context* result,
                       int count, sqlite3_value** values);
    std::vector<std::string> m_toWeigh;
    std::atomic<bool> m_stopWeighing{false};
    std::condition_variable m_weighWake;
    std::thread m_weigher;
    std::unordered_map<std::string, std::int64_t> m_paths; // index name, NUL, path: inode
    std::uint64_t m_generation = 0; // counts the loads of the documents (cache lock)
    // Recent answers by their request, dropped whenever the documents are loaded again.
    std::mutex m_cacheMutex;
    // Shared, so that an answer is copied and dropped without holding the lock.
    struct KeptAnswer {
        std::shared_ptr<const SearchResult> result;
        std::size_t bytes = 0;
    };
    std::unordered_map<std::string, KeptAnswer> m_cache;
    std::size_t m_cacheBytes = 0;
    std::size_t m_cacheLimit = 64u << 20;
    std::uint64_t m_instance = 0;
    std::string m_dbPath;
    std::vector<IndexedFolder> m_folders;
    std::vector<std::string> m_languages; // the tokenizer's, in its order
    std::mutex m_scanMutex;
    // Committed changes that searches do not see yet: a scan failed after commits, or changes
    // were taken without loading them (scan lock).
    bool m_documentsBehind = false;
    std::mutex m_connectionsMutex;
    std::vector<sqlite3*> m_connections; // every connection, closed with the index
    std::mutex m_readersMutex;
    std::condition_variable m_readerFree;
    std::vector<sqlite3*> m_readers; // idle search connections
    std::size_t m_readerCount = 0;
};

} // namespace zdxserver
