#pragma once
// Replacing a file whole or not at all, for every file the programs write for the user: the
// export of hits and the service's users file.
#include <string>
#include <string_view>
#include <sys/types.h>

// Where a write failed.
enum class WriteStep { Create, Write, Replace };

// Writes a new file beside `path` (created exclusively, so that a planted file or link at its
// name is never followed), then renames it over `path` on Commit. Until then `path` is as it
// was; a writer dropped without a commit leaves nothing behind.
class WholeFileWriter {
public:
    // The new file gets `mode` less the umask; with `keepReplaced`, a regular file at `path`
    // passes its own mode, owner and group on instead (failing when they cannot be kept).
    // Without it the mode is exactly `mode`.
    // `keptBits` limits the mode passed on (07777: all of it).
    WholeFileWriter(std::string path, mode_t mode, bool keepReplaced, mode_t keptBits = 07777);
    ~WholeFileWriter();
    WholeFileWriter(const WholeFileWriter&) = delete;
    WholeFileWriter& operator=(const WholeFileWriter&) = delete;

    bool Open();
    bool Write(std::string_view bytes);
    // Flushes the file to disk and renames it over `path`.
    bool Commit();

    // After a failure: where, and the errno value.
    WriteStep FailedStep() const { return m_step; }
    int Error() const { return m_error; }

private:
    bool Fail(WriteStep step);

    std::string m_path;
    std::string m_temporary;
    mode_t m_mode;
    bool m_keepReplacedMode;
    mode_t m_keptBits;
    int m_fd = -1;
    WriteStep m_step = WriteStep::Create;
    int m_error = 0;
};

// The whole file at once: false with `step` and `error` (an errno value) on failure.
bool WriteFileWhole(const std::string& path, std::string_view bytes, mode_t mode, WriteStep& step,
                    int& error);
