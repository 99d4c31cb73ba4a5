#include "text/WholeFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

bool WriteFileWhole(const std::string& path, std::string_view bytes, mode_t mode, WriteStep& step,
                    int& error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        step = WriteStep::Create;
        error = errno;
        return false;
    }
    bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
    error = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    step = WriteStep::Write;
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        step = WriteStep::Replace;
        error = errno;
    }
    if (!ok)
        unlink(temporary.c_str());
    return ok;
}
