#include "Scan.h"

#include "Beneath.h"
#include "Extractor.h"
#include "Protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

// What LastScans tells, kept for the process.
std::mutex& ScanRecordMutex() {
    static std::mutex mutex;
    return mutex;
}
ScanRecord& ScanRecordOf() {
    static ScanRecord record;
    return record;
}
void NoteProblem(const std::string& path, const std::string& reason) {
    std::lock_guard<std::mutex> lock(ScanRecordMutex());
    auto& problems = ScanRecordOf().problems;
    problems.erase(std::remove_if(problems.begin(), problems.end(),
                                  [&](const ScanProblem& p) { return p.path == path; }),
                   problems.end());
    if (problems.size() >= kMaxScanProblems)
        problems.erase(problems.begin());
    problems.push_back({path, reason});
}

const std::atomic<bool>* g_stop = nullptr;

bool Stopping() {
    return g_stop && g_stop->load();
}

// True when `path` is one of the places or lies inside one of them.
bool UnderAny(const std::string& path, const std::vector<std::string>& places) {
    for (const std::string& p : places)
        if (path.compare(0, p.size(), p) == 0 && (path.size() == p.size() || path[p.size()] == '/'))
            return true;
    return false;
}

// Reads on from an open file until `bytes` holds `limit` bytes or the file ends.
void ReadBytes(int fd, std::int64_t size, std::size_t limit, std::string& bytes) {
    // Sized by the file (at most the limit), not zero-filled to it.
    std::size_t got = bytes.size();
    bytes.resize(std::max(got, static_cast<std::size_t>(std::clamp<std::int64_t>(
                                   size, 0, static_cast<std::int64_t>(limit)))));
    for (ssize_t n;
         got < bytes.size() && (n = read(fd, bytes.data() + got, bytes.size() - got)) > 0;)
        got += static_cast<std::size_t>(n);
    bytes.resize(got);
}

// A new or changed file, read and extracted, on its way to the store.
struct Prepared {
    FileChange change;
    bool added = false;
    std::int64_t bytes = 0;
};

// From the walk, which reads and extracts the files, to the thread that stores them: the
// store's work on one file and the reading of the next ones share the cores. Up to 64 files,
// and 32 MB of their texts and words, wait: the walk takes longer over some files than others
// (a document to extract, a long text's words), and the store goes on meanwhile.
class Handoff {
public:
    // False once the storing side has given up: the walk ends.
    bool Push(Prepared prepared) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_space.wait(lock, [&] {
            return m_closed || m_items.empty() ||
                   (m_items.size() < kMaxWaiting && m_waitingBytes < kMaxWaitingBytes);
        });
        if (m_closed)
            return false;
        m_waitingBytes += Bytes(prepared);
        m_items.push_back(std::move(prepared));
        m_ready.notify_one();
        return true;
    }
    // The walk is over (with the error that ended it, if any).
    void Finish(std::exception_ptr error) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
        m_error = error;
        m_ready.notify_one();
    }
    // The next file, or nothing once the walk is over; rethrows the walk's error.
    std::optional<Prepared> Pop() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [&] { return m_finished || !m_items.empty(); });
        if (m_items.empty()) {
            if (m_error)
                std::rethrow_exception(m_error);
            return std::nullopt;
        }
        Prepared next = std::move(m_items.front());
        m_items.pop_front();
        m_waitingBytes -= Bytes(next);
        m_space.notify_one();
        return next;
    }
    // The storing side stops taking files.
    void Close() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_space.notify_all();
    }

private:
    static std::size_t Bytes(const Prepared& p) {
        return p.change.text.body.size() + p.change.storedBody.size() +
               p.change.storedTokens.size();
    }
    static constexpr std::size_t kMaxWaiting = 64;
    static constexpr std::size_t kMaxWaitingBytes = 32u << 20;
    std::mutex m_mutex;
    std::condition_variable m_ready, m_space;
    std::deque<Prepared> m_items;
    std::size_t m_waitingBytes = 0;
    bool m_finished = false, m_closed = false;
    std::exception_ptr m_error;
};

// One scan's walk: what it knows, where it hands the files, and what it found.
struct ScanContext {
    std::unordered_map<std::string, KnownFile>& known;
    Handoff& handoff;
    ScanTarget& target;
    ScanStats stats;
    // Folders (and files) that could not be read this time: what is indexed there stays.
    std::vector<std::string> unreadable;
    // Started on the scan's first document, ended with the scan.
    Extractor extractor;
    bool givenUp = false; // the storing side stopped

    void Skip(const std::string& where, int error) {
        // Skipped, not given up: the rest of the scan goes on.
        std::fprintf(stderr, "zdx-server: cannot read %s (%s); what is indexed there is kept\n",
                     where.c_str(), std::strerror(error));
        NoteProblem(where, std::strerror(error));
        unreadable.push_back(where);
        ++stats.skippedFolders;
    }
};

// A document's text from the extractor; a file that holds none gets its format named. A
// document it cannot read is indexed by name, said once here and not tried again until it
// changes.
void ReadWithExtractor(FileChange& change, const std::string& bytes, Route route, ScanContext& c) {
    const bool nameOnly = route != Route::Document;
    Extractor::Outcome outcome =
        c.extractor.Read(change.name, nameOnly ? bytes.substr(0, 65536) : bytes, nameOnly);
    if (!outcome.read) {
        if (!nameOnly && !c.extractor.Missing()) {
            std::fprintf(stderr, "zdx-server: %s is indexed by name only: %s\n",
                         change.path.c_str(), outcome.failure.c_str());
            NoteProblem(change.path, outcome.failure);
        }
        return;
    }
    if (nameOnly) {
        // Text in an 8-bit code page; but a file whose bytes said it is not text stays so,
        // whatever a few of them suggest to libmagic.
        if (route == Route::MaybeText && outcome.text.format == "Text")
            change.text = ExtractText(change.name, bytes.substr(0, kMaxTextBytes), Route::Text);
        else if (!outcome.text.format.empty() && outcome.text.format != "Text")
            change.text.format = outcome.text.format;
        return;
    }
    if (outcome.text.title.empty())
        outcome.text.title = change.name;
    if (outcome.text.format.empty())
        outcome.text.format = change.text.format;
    if (outcome.text.date > 0)
        change.mtime = outcome.text.date; // a mail is dated by its Date
    change.text = std::move(outcome.text);
}

// True when a pattern of the rules matches the entry: its name, or with a '/' in the pattern
// its path below the index folder.
bool Excluded(const ScanRules& rules, const std::string& name, const std::string& path) {
    for (const std::string& pattern : rules.excludes) {
        const bool byPath = pattern.find('/') != std::string::npos;
        if (fnmatch(pattern.c_str(), byPath ? path.c_str() : name.c_str(),
                    byPath ? FNM_PATHNAME : 0) == 0)
            return true;
    }
    return false;
}

std::string Joined(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

// A regular file found at `relative`: read and handed on when new or changed. It is opened
// below the index's folder without following anything, and must be the file just listed.
void ScanFile(const IndexedFolder& folder, int rootFd, const std::string& relative,
              const struct stat& listed, ScanContext& c) {
    FileChange change;
    change.folder = &folder;
    change.path = folder.root + "/" + relative;
    change.size = listed.st_size;
    change.mtime = listed.st_mtim.tv_sec;
    change.mtimeNs = listed.st_mtim.tv_sec * 1000000000LL + listed.st_mtim.tv_nsec;
    change.inode = static_cast<std::int64_t>(listed.st_ino);
    auto found = c.known.find(KnownFileKey(folder.name, change.path));
    if (found != c.known.end()) {
        found->second.seen = true;
        if (found->second.size == change.size && found->second.mtimeNs == change.mtimeNs &&
            found->second.inode == change.inode) {
            ++c.stats.unchanged;
            return;
        }
    }
    const int fd = OpenBeneath(rootFd, relative, false);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_ino != listed.st_ino ||
        opened.st_dev != listed.st_dev) {
        if (fd >= 0)
            close(fd);
        return; // gone, swapped or unreadable: left for the next scan
    }
    std::string bytes;
    change.name = relative.substr(relative.rfind('/') + 1);
    const std::int64_t maxBytes = folder.rules.maxFileBytes;
    if (change.size > maxBytes) {
        // Too large to read: by name.
        change.text = ExtractText(change.name, {}, Route::Other);
    } else {
        ReadBytes(fd, change.size, kMaxTextBytes, bytes);
        const Route route = RouteOf(change.name, bytes);
        if (route == Route::Document)
            ReadBytes(fd, change.size, static_cast<std::size_t>(maxBytes), bytes);
        change.text = ExtractText(change.name, bytes, route);
        if (route == Route::Document || route == Route::Other || route == Route::MaybeText)
            ReadWithExtractor(change, bytes, route, c);
    }
    close(fd);
    change.summary = Summary(change.text.body);
    c.target.Prepare(change);
    Prepared prepared;
    prepared.bytes = static_cast<std::int64_t>(bytes.size());
    if (found == c.known.end()) {
        // Known from now on (its id is the store's business: nothing here reads it again).
        found =
            c.known.emplace(KnownFileKey(folder.name, change.path), KnownFile{-1, 0, 0, 0, true})
                .first;
        prepared.added = true;
    }
    change.id = found->second.id;
    found->second.size = change.size;
    found->second.mtimeNs = change.mtimeNs;
    found->second.inode = change.inode;
    prepared.change = std::move(change);
    if (!c.handoff.Push(std::move(prepared)))
        c.givenUp = true;
}

// Lists one folder of the index ("" for its root): files are scanned, folders added to
// `pending`. Hidden entries, links, pipes and devices are left out.
void ScanFolder(const IndexedFolder& folder, int rootFd, const std::string& relative,
                std::vector<std::string>& pending, ScanContext& c) {
    const std::string folderPath = relative.empty() ? folder.root : folder.root + "/" + relative;
    const int fd = relative.empty() ? dup(rootFd) : OpenBeneath(rootFd, relative, true);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        c.Skip(folderPath, error);
        return;
    }
    // The folder's entries in the order of their names: new files then reach the index of
    // paths in that order, each at the end of it, rather than all over it.
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = readdir(dir))
        names.emplace_back(entry->d_name);
    const int listError = errno;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (Stopping() || c.givenUp)
            break;
        // Hidden files and folders are left out, as file managers leave them out.
        if (name.empty() || name.front() == '.')
            continue;
        const std::string path = Joined(relative, name);
        if (Excluded(folder.rules, name, path))
            continue;
        struct stat info {};
        if (fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            c.Skip(folder.root + "/" + path, errno);
            continue;
        }
        // Links are not followed: nothing outside the folder is ever indexed.
        if (S_ISDIR(info.st_mode))
            pending.push_back(path);
        else if (S_ISREG(info.st_mode))
            ScanFile(folder, rootFd, path, info, c);
    }
    if (listError != 0)
        c.Skip(folderPath, listError);
    closedir(dir);
}

} // namespace

bool ServiceStopping() {
    return Stopping();
}

void SetScanStopFlag(const std::atomic<bool>* stop) {
    g_stop = stop;
}

std::string KnownFileKey(const std::string& index, const std::string& path) {
    return index + '\0' + path;
}

bool LeftOut(const ScanRules& rules, const std::string& name, const std::string& path) {
    return name.empty() || name.front() == '.' || Excluded(rules, name, path);
}

ScanRecord LastScans() {
    std::lock_guard<std::mutex> lock(ScanRecordMutex());
    return ScanRecordOf();
}

ScanStats ScanFolders(const std::vector<IndexedFolder>& folders,
                      std::unordered_map<std::string, KnownFile>& known, ScanTarget& target) {
    const auto started = std::chrono::steady_clock::now();
    struct Noted {
        std::chrono::steady_clock::time_point started;
        ~Noted() {
            std::lock_guard<std::mutex> lock(ScanRecordMutex());
            ScanRecordOf().endedAt = static_cast<std::int64_t>(std::time(nullptr));
            ScanRecordOf().seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        }
    } noted{started};
    Handoff handoff;
    ScanContext c{known, handoff, target, {}, {}, {}};
    // The walk reads on its own thread; this one stores, as the target's connection is its.
    std::thread walk([&] {
        std::exception_ptr error;
        try {
            for (const IndexedFolder& folder : folders) {
                const int root = OpenRoot(folder.root);
                if (root < 0) {
                    c.Skip(folder.root, errno);
                    continue;
                }
                std::vector<std::string> pending = {""};
                while (!pending.empty() && !Stopping() && !c.givenUp) {
                    const std::string relative = pending.back();
                    pending.pop_back();
                    ScanFolder(folder, root, relative, pending, c);
                }
                close(root);
            }
        } catch (...) {
            error = std::current_exception();
        }
        handoff.Finish(error);
    });
    ScanStats stored;
    try {
        while (!Stopping()) {
            std::optional<Prepared> next = handoff.Pop();
            if (!next)
                break;
            target.Put(next->change);
            ++(next->added ? stored.added : stored.updated);
            stored.bytes += next->bytes;
            target.Tick();
        }
    } catch (...) {
        handoff.Close();
        walk.join();
        throw;
    }
    handoff.Close();
    walk.join();
    c.stats.added = stored.added;
    c.stats.updated = stored.updated;
    c.stats.bytes = stored.bytes;
    // A scan cut short saw only part of the folders: nothing is taken for gone.
    for (const auto& [where, doc] : known) {
        if (Stopping())
            break;
        if (doc.seen || UnderAny(where.substr(where.find('\0') + 1), c.unreadable))
            continue;
        target.Remove(doc.id);
        ++c.stats.removed;
        target.Tick();
    }
    return c.stats;
}

} // namespace zdxserver
