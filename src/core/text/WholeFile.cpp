#include "text/WholeFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

WholeFileWriter::WholeFileWriter(std::string path, mode_t mode, bool keepReplaced, mode_t keptBits)
    : m_path(std::move(path)), m_mode(mode), m_keepReplacedMode(keepReplaced),
      m_keptBits(keptBits) {}

WholeFileWriter::~WholeFileWriter() {
    if (m_fd >= 0) {
        close(m_fd);
        unlink(m_temporary.c_str());
    }
}

bool WholeFileWriter::Fail(WriteStep step) {
    m_step = step;
    m_error = errno;
    if (m_fd >= 0) {
        close(m_fd);
        unlink(m_temporary.c_str());
        m_fd = -1;
    }
    return false;
}

bool WholeFileWriter::Open() {
    // Created with the mode asked for, so that the kernel applies the umask.
    std::random_device random;
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%06x", random() & 0xFFFFFF);
        m_temporary = m_path + suffix;
        m_fd =
            open(m_temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, m_mode);
        if (m_fd < 0 && errno != EEXIST)
            break;
    }
    if (m_fd < 0)
        return Fail(WriteStep::Create);
    struct stat replaced {};
    if (m_keepReplacedMode) {
        if (stat(m_path.c_str(), &replaced) == 0 && S_ISREG(replaced.st_mode) &&
            (fchown(m_fd, replaced.st_uid, replaced.st_gid) != 0 ||
             fchmod(m_fd, replaced.st_mode & m_keptBits) != 0))
            return Fail(WriteStep::Create);
    } else if (fchmod(m_fd, m_mode) != 0) {
        return Fail(WriteStep::Create);
    }
    return true;
}

bool WholeFileWriter::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(m_fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return Fail(WriteStep::Write);
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool WholeFileWriter::Commit() {
    if (fsync(m_fd) != 0)
        return Fail(WriteStep::Write);
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0) {
        m_step = WriteStep::Write;
        m_error = errno;
        unlink(m_temporary.c_str());
        return false;
    }
    if (std::rename(m_temporary.c_str(), m_path.c_str()) != 0) {
        m_step = WriteStep::Replace;
        m_error = errno;
        unlink(m_temporary.c_str());
        return false;
    }
    return true;
}

bool WriteFileWhole(const std::string& path, std::string_view bytes, mode_t mode, WriteStep& step,
                    int& error) {
    WholeFileWriter writer(path, mode, false);
    if (writer.Open() && writer.Write(bytes) && writer.Commit())
        return true;
    step = writer.FailedStep();
    error = writer.Error();
    return false;
}
