#pragma once
// What the service searches, whatever keeps it: the indexed folders, a search request and its
// answer, and the interface every store offers (SQLite in one process, PostgreSQL shared by
// several).
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zdxserver {

// What a scan leaves out: names or paths matching a pattern (a glob; one without '/' matches
// any file or folder name, one with '/' the path below the index folder), and the text of
// files over a size (those are indexed by name).
struct ScanRules {
    std::vector<std::string> excludes;
    std::int64_t maxFileBytes = 100ll << 20;
};
// The folders left out unless --no-default-excludes: what nobody searches for.
inline const std::vector<std::string> kDefaultExcludes = {".git", "node_modules", "__pycache__",
                                                          "build*"};

// The language whose word stems an index matches unless --language says otherwise.
inline constexpr const char* kDefaultLanguage = "english";

struct IndexedFolder {
    std::string name;
    std::string root; // absolute, canonical
    ScanRules rules = {kDefaultExcludes};
    std::string language = kDefaultLanguage; // a Snowball stemmer's name
};

// The languages of the folders, each once, in the order of the folders.
std::vector<std::string> LanguagesOf(const std::vector<IndexedFolder>& folders);

struct SearchRequest {
    std::string query;                // UTF-8, may be empty
    std::string fileFilter;           // pattern with * and ?, may be empty
    std::vector<std::string> indexes; // names; empty: all
    std::int64_t sinceSeconds = 0;    // only files changed at or after this time (0: any)
    int maxHits = 999;
};

struct Document {
    std::string index, path, name, title, format, author, snippet;
    std::vector<std::string> matches; // the query's words as the snippet holds them
    std::int64_t mtime = 0;
    std::uint64_t size = 0;
    double score = 0; // FTS5 rank (more negative is better); 0 without a query
};

inline constexpr const char* kTooCostly =
    "This search is too costly; please add words or make them longer.";
struct SearchTooCostly : std::runtime_error {
    SearchTooCostly() : std::runtime_error(kTooCostly) {}
};

struct SearchResult {
    std::int64_t found = 0;
    std::vector<Document> documents; // at most maxHits, best first
};

// How an index is: its documents and the bytes of text they hold.
struct IndexStatus {
    std::string name;
    std::int64_t documents = 0, textBytes = 0;
};

// Where a node's searches read: its own copy of the store, which holds the store's changes up
// to `changes` (a number of the store's), and whether that is the store's last.
struct CopyState {
    std::int64_t changes = 0;
    bool current = false;
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
    // The inode the last scan recorded for the file at `path` when it is a document of the
    // index `index`; nothing otherwise.
    virtual std::optional<std::int64_t> DocumentInode(const std::string& index,
                                                      const std::string& path) = 0;
    // The text the store holds of that document (PDF pages apart by a form feed); nothing
    // when it is not a document of the index.
    virtual std::optional<std::string> DocumentText(const std::string& index,
                                                    const std::string& path) = 0;
    virtual const std::vector<IndexedFolder>& Folders() const = 0;
    // Each folder's index as the store holds it.
    virtual std::vector<IndexStatus> Status() = 0;
    // Brings what searches read up to the store's last change, where they read a copy of it.
    virtual void CatchUp() {}
    // The copy searches read, when they read one (see CopyState).
    virtual std::optional<CopyState> Copy() { return std::nullopt; }
    // Whether this process brings the index up to date (with PostgreSQL, one node does).
    virtual bool Indexes() const { return true; }
    bool HasIndex(const std::string& name) const;
    // A search stops after this long in the store (throwing SearchTooCostly).
    void SetSearchMillis(int millis) { m_searchMillis = millis; }

protected:
    int m_searchMillis = 5000;
};

// How much of a file's text goes into the index.
inline constexpr std::size_t kMaxTextBytes = 1u << 20;

} // namespace zdxserver
