#include "Beneath.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zdxserver {

namespace {

BeneathHook g_hook = nullptr;

// openat2 with every escape refused at once, by the kernel; -1 with ENOSYS where it is missing.
int OpenAt2(int dirFd, std::string_view relative, int flags) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = static_cast<unsigned long long>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const std::string path(relative);
    return static_cast<int>(syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how));
#else
    (void)dirFd;
    (void)relative;
    (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// The same, a component at a time, each opened below the one before without following links.
int OpenByComponents(int rootFd, std::string_view relative, int lastFlags) {
    int dir = dup(rootFd);
    while (dir >= 0) {
        const std::size_t slash = relative.find('/');
        const std::string part(relative.substr(0, slash));
        if (part.empty() || part == "." || part == "..") {
            close(dir);
            return -1;
        }
        const bool last = slash == std::string_view::npos;
        const int next = openat(dir, part.c_str(),
                                last ? lastFlags : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dir);
        if (last)
            return next;
        dir = next;
        relative.remove_prefix(slash + 1);
    }
    return -1;
}

} // namespace

void SetBeneathHook(BeneathHook hook) {
    g_hook = hook;
}

int OpenRoot(const std::string& root) {
    return open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int OpenBeneath(int rootFd, std::string_view relative, bool folder) {
    if (relative.empty() || relative.front() == '/')
        return -1;
    if (g_hook)
        g_hook(relative);
    const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : O_NONBLOCK);
    int fd = OpenAt2(rootFd, relative, flags);
    if (fd < 0 && errno == ENOSYS)
        fd = OpenByComponents(rootFd, relative, flags);
    if (fd < 0)
        return -1;
    struct stat info {};
    const bool wanted =
        fstat(fd, &info) == 0 && (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));
    if (!wanted || (!folder && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace zdxserver
