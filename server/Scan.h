#pragma once
// The folder scan both stores share: what is new, changed or gone since the last scan.
#include "Extract.h"
#include "Store.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace zdxserver {

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
    std::string storedBody;   // the body as the store keeps it, when its Prepare made that
    std::string storedTokens; // the body's words as the store takes them, when Prepare made them
    std::int64_t size = 0, mtime = 0, mtimeNs = 0, inode = 0;
    std::int64_t id = -1; // the document's id, or -1 for a new one
};

// Where a scan puts what it finds: one store's tables.
class ScanTarget {
public:
    virtual ~ScanTarget() = default;
    // Called on the walk's thread for each new or changed file before it is handed over: work
    // the store can do there rather than on the thread that stores.
    virtual void Prepare(FileChange&) {}
    // Stores a new or changed document; returns its id.
    virtual std::int64_t Put(const FileChange& change) = 0;
    virtual void Remove(std::int64_t id) = 0;
    // Called after each change: a chance to commit.
    virtual void Tick() = 0;
};

// Walks the folders (no links, no hidden files), reads what is new or changed since `known`
// says, and hands it to `target`; documents no longer found are removed, except under a folder
// that could not be read.
// A flag that, once set, ends every scan under way at the next file (a stop of the service);
// what was not reached stays as the index had it.
void SetScanStopFlag(const std::atomic<bool>* stop);
// Whether that flag is set: searches under way end too.
bool ServiceStopping();

ScanStats ScanFolders(const std::vector<IndexedFolder>& folders,
                      std::unordered_map<std::string, KnownFile>& known, ScanTarget& target);

// True when a scan leaves the entry out: a hidden name, or one the rules exclude (`path`: below
// the index folder).
bool LeftOut(const ScanRules& rules, const std::string& name, const std::string& path);

// What the service can say of its scans: when the last whole scan ended and how long it took,
// and the files and folders the scans could not read (the last kMaxScanProblems, newest last).
struct ScanProblem {
    std::string path, reason;
};
struct ScanRecord {
    std::int64_t endedAt = 0; // seconds since the epoch; 0: no scan yet
    double seconds = 0;
    std::vector<ScanProblem> problems;
};
inline constexpr std::size_t kMaxScanProblems = 100;
ScanRecord LastScans();

} // namespace zdxserver
