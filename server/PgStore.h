#pragma once
// The documents, their full-text index and the sessions in PostgreSQL, so that several
// zdx-server processes can share them: one indexes at a time (it holds an advisory lock, and
// another takes over when its process ends), all search, and a session made through one is
// valid on every other.
#include "Query.h"
#include "Store.h"
#include "Users.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct pg_conn;

namespace zdxserver {

class SqliteStore;

// True for a database address that names PostgreSQL (postgresql://... or postgres://...).
bool IsPostgresUrl(const std::string& db);

// A small pool of connections to one database.
class PgPool {
public:
    explicit PgPool(std::string url, std::size_t limit = 4);
    ~PgPool();
    pg_conn* Acquire();
    void Release(pg_conn* connection);
    pg_conn* Open() const; // a connection of its own, not pooled

private:
    std::string m_url;
    std::size_t m_limit;
    std::mutex m_mutex;
    std::condition_variable m_free;
    std::vector<pg_conn*> m_idle;
    std::size_t m_count = 0;
};

class PgStore : public DocumentStore {
public:
    // Connects and creates the tables when they are missing; throws std::runtime_error.
    PgStore(const std::string& url, std::vector<IndexedFolder> folders);
    ~PgStore() override;

    // Scans only while this process holds the indexing lock; returns empty statistics when
    // another process indexes.
    ScanStats Scan() override;
    SearchResult Search(const SearchRequest& request) override;
    std::optional<std::string> DocumentText(const std::string& index,
                                            const std::string& path) override;
    std::vector<IndexStatus> Status() override;
    // True while this process holds the indexing role.
    bool Indexes() const override { return m_indexing; }
    std::optional<std::int64_t> DocumentInode(const std::string& index,
                                              const std::string& path) override;
    const std::vector<IndexedFolder>& Folders() const override { return m_folders; }

    // Sessions kept in the same database.
    std::unique_ptr<SessionStore> MakeSessions(std::chrono::minutes idleLimit,
                                               std::size_t perUserLimit,
                                               std::chrono::hours lifetime);

    // Sign-in counters kept in the same database.
    std::unique_ptr<SignInCounters> MakeSignInCounters();

    PgPool& Pool() { return m_pool; }

    // Keeps a copy of the documents in SQLite, in a folder of its own under `parent` (removed
    // with the store), taking every change from the database a moment after it is made; a
    // search reads the copy when it holds every change, the database otherwise. Ranking and
    // passages then cost what they cost in one process. Call once, before searches start.
    // Unless `follow`, changes are taken only when TakeChanges or CatchUp is called. Following,
    // the copy takes each change as the database announces it, and asks for the last change
    // every `check` all the same; searches then read the copy without asking while no
    // announcement waits to be taken. Throws std::runtime_error when the copy cannot be made;
    // the store then searches the database.
    void KeepCopy(const std::string& parent, std::size_t cacheBytes, bool follow = true,
                  std::chrono::milliseconds check = std::chrono::milliseconds(200));
    // Takes the changes made since the copy's last (one batch); true when more wait. Runs on
    // the copy's own thread; tests call it to wait for the copy.
    bool TakeChanges();
    void CatchUp() override;
    std::optional<CopyState> Copy() override;

private:
    // The passage and matched words of each hit (`ids` in the order of `documents`).
    void AddExcerpts(pg_conn* db, const QueryNode& query, const std::vector<std::int64_t>& ids,
                     std::vector<Document>& documents);

    std::vector<IndexedFolder> m_folders;
    std::vector<std::string> m_languages; // of the folders, each once
    std::string m_stemQuery;              // the tsquery of the parameter $%s in each language
    PgPool m_pool;
    pg_conn* m_lockConnection = nullptr; // holds the advisory lock while this process indexes
    std::atomic<bool> m_indexing{false}; // read by the status route while a scan runs
    std::mutex m_scanMutex;
    // The copy (see KeepCopy), and the last change it holds.
    std::string m_copyFolder;
    int m_copyLock = -1;
    std::size_t m_copyCacheBytes = 0;
    int m_copies = 0;       // copies made, each in a file of its own
    std::mutex m_copyMutex; // the copy and the change its searches see
    std::shared_ptr<SqliteStore> m_copy;
    std::int64_t m_copiedUpTo = 0;
    // Changes announced by the database (see KeepCopy): while the copy's connection listens,
    // the copy holds every change committed before the last announcement it heard once a pass
    // begun after it has ended, and searches need not ask for the last change.
    bool m_listening = false;       // since before the last pass that took every change
    std::uint64_t m_heard = 0;      // announcements heard
    std::uint64_t m_heardTaken = 0; // ... when the last pass that took every change began
    std::mutex m_takeMutex;         // taking changes: the copy's connection and what it has taken
    pg_conn* m_copyDb = nullptr;
    bool m_copyListens = false; // the copy's connection is told of changes (taker's lock)
    std::int64_t m_copyTaken = 0;
    std::atomic<bool> m_stopCopying{false};
    int m_copyWake = -1; // an eventfd that wakes the copy's thread
    std::thread m_copier;
    // Counts the announcements the copy's connection has received (taker's lock); throws
    // std::runtime_error when the connection is broken.
    void HearChanges();
    std::shared_ptr<SqliteStore> NewCopy();
    // The copy when it holds the database's last change (known from the announcements heard,
    // or else asked of the database), else none; `state` says how far it goes.
    std::shared_ptr<SqliteStore> CurrentCopy(CopyState& state);
    // A new, empty copy in place of the one kept, to take every change again (taker's lock);
    // `why` is reported.
    std::shared_ptr<SqliteStore> CopyAgain(const char* why);
};

} // namespace zdxserver
