#include "Watch.h"

#include "Scan.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zdxserver {

namespace {

constexpr std::uint32_t kEvents = IN_CREATE | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_FROM |
                                  IN_MOVED_TO | IN_ATTRIB | IN_MODIFY | IN_DELETE_SELF |
                                  IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;

std::string Joined(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

} // namespace

FolderWatch::FolderWatch(const std::vector<IndexedFolder>& folders, std::function<void()> changed,
                         std::chrono::milliseconds settle)
    : m_changed(std::move(changed)), m_settle(settle) {
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_fd < 0 || pipe2(m_stop, O_CLOEXEC) != 0) {
        std::fprintf(stderr, "zdx-server: cannot watch the folders (%s); they are polled\n",
                     std::strerror(errno));
        for (const IndexedFolder& f : folders)
            m_whole[f.name] = false;
        return;
    }
    for (const IndexedFolder& f : folders) {
        m_whole[f.name] = true;
        AddTree(f, "");
    }
    m_thread = std::thread([this] { Run(); });
}

FolderWatch::~FolderWatch() {
    if (m_thread.joinable()) {
        const char stop = 1;
        (void)!write(m_stop[1], &stop, 1);
        m_thread.join();
    }
    for (int fd : {m_fd, m_stop[0], m_stop[1]})
        if (fd >= 0)
            close(fd);
}

bool FolderWatch::Watching(const std::string& index) const {
    std::lock_guard<std::mutex> lock(m_wholeMutex);
    const auto it = m_whole.find(index);
    return it != m_whole.end() && it->second;
}

// Watches a folder and every folder below it that a scan reads. A folder that cannot be
// watched is polled by the rescans; the kernel's limit is said once, with the setting to raise.
void FolderWatch::AddTree(const IndexedFolder& folder, const std::string& relative) {
    std::vector<std::string> pending = {relative};
    while (!pending.empty()) {
        const std::string here = pending.back();
        pending.pop_back();
        const std::string path = Joined(folder.root, here);
        const int wd =
            inotify_add_watch(m_fd, here.empty() ? folder.root.c_str() : path.c_str(), kEvents);
        if (wd < 0) {
            if (errno == ENOSPC && !m_limitSaid) {
                m_limitSaid = true;
                std::fprintf(stderr, "zdx-server: the kernel's limit of folder watches is reached; "
                                     "folders beyond it are polled every rescan (raise "
                                     "fs.inotify.max_user_watches to watch them all)\n");
            }
            std::lock_guard<std::mutex> lock(m_wholeMutex);
            m_whole[folder.name] = false;
            continue;
        }
        m_watched[wd] = {&folder, here};
        DIR* dir = opendir(path.c_str());
        if (!dir)
            continue;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string below = Joined(here, name);
            if (LeftOut(folder.rules, name, below))
                continue;
            struct stat info {};
            if (fstatat(dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISDIR(info.st_mode))
                pending.push_back(below);
        }
        closedir(dir);
    }
}

void FolderWatch::Run() {
    using Clock = std::chrono::steady_clock;
    bool pending = false;
    Clock::time_point due{};
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        int timeout = -1;
        if (pending)
            timeout = static_cast<int>(std::max<long long>(
                0,
                std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count()));
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            ssize_t n;
            while ((n = read(m_fd, buffer, sizeof buffer)) > 0) {
                for (char* at = buffer; at < buffer + n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(at);
                    at += sizeof(inotify_event) + event->len;
                    const auto watched = m_watched.find(event->wd);
                    if (event->mask & IN_IGNORED) {
                        m_watched.erase(event->wd);
                    } else if (watched != m_watched.end() && (event->mask & IN_ISDIR) &&
                               (event->mask & (IN_CREATE | IN_MOVED_TO)) && event->len > 0) {
                        // A new folder: watched with whatever it already holds.
                        const std::string name = event->name;
                        const std::string below = Joined(watched->second.relative, name);
                        if (!LeftOut(watched->second.folder->rules, name, below))
                            AddTree(*watched->second.folder, below);
                    }
                    if (!pending) {
                        pending = true;
                        due = Clock::now() + m_settle;
                    }
                }
            }
        }
        if (pending && Clock::now() >= due) {
            pending = false;
            m_changed();
        }
    }
}

} // namespace zdxserver
