#pragma once
// Following the indexed folders as they change (inotify), so that a file saved, renamed or
// deleted is found or gone within about two seconds, without waiting for the next rescan.
#include "Store.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace zdxserver {

class FolderWatch {
public:
    // Watches every folder below the indexed ones that a scan reads; `changed` runs on the
    // watch's thread once the changes have settled (`settle` after the first of them).
    FolderWatch(const std::vector<IndexedFolder>& folders, std::function<void()> changed,
                std::chrono::milliseconds settle = std::chrono::milliseconds(1000));
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Whether each index folder is watched whole (false: some of it is only polled, at the
    // kernel's limit of watches or without inotify).
    bool Watching(const std::string& index) const;

private:
    struct Watched {
        const IndexedFolder* folder;
        std::string relative; // below the index folder; "" for the folder itself
    };
    void AddTree(const IndexedFolder& folder, const std::string& relative);
    void Run();

    int m_fd = -1;
    int m_stop[2] = {-1, -1};
    std::function<void()> m_changed;
    std::chrono::milliseconds m_settle;
    std::unordered_map<int, Watched> m_watched;    // by watch descriptor (the watch's thread)
    std::unordered_map<std::string, bool> m_whole; // index name: every folder watched
    mutable std::mutex m_wholeMutex;
    bool m_limitSaid = false;
    std::thread m_thread;
};

} // namespace zdxserver
