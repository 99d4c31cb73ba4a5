#include "Scan.h"

#include "Protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zdxserver {

namespace {

// True when `path` is one of the places or lies inside one of them.
bool UnderAny(const std::string& path, const std::vector<std::string>& places) {
    for (const std::string& p : places)
        if (path.compare(0, p.size(), p) == 0 && (path.size() == p.size() || path[p.size()] == '/'))
            return true;
    return false;
}

// The first bytes of a file, up to the text limit; false when it cannot be opened.
bool ReadTextBytes(const std::string& path, std::int64_t size, std::string& bytes) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Sized by the file (at most the text limit), not zero-filled to it.
    bytes.resize(static_cast<std::size_t>(
        std::clamp<std::int64_t>(size, 0, static_cast<std::int64_t>(kMaxTextBytes))));
    std::size_t got = 0;
    for (ssize_t n;
         got < bytes.size() && (n = read(fd, bytes.data() + got, bytes.size() - got)) > 0;)
        got += static_cast<std::size_t>(n);
    bytes.resize(got);
    close(fd);
    return true;
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
                if (!ReadTextBytes(change.path, change.size, bytes))
                    continue; // unreadable: left for the next scan
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

} // namespace zdxserver
