#pragma once
// The activity log: one time-stamped line per call, appended to a text file.
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

namespace ActivityLog {

// Appends "YYYY.MM.DD hh:mm <first> <second>" to the log. The file name is used only to open
// the stream; once open, the stream stays open for the run. When the file cannot be opened the
// line is dropped and the next call tries again; the failure goes to standard error once.
void Write(const std::string& fileName, std::string_view first, std::string_view second);

// Marks the log as not open, closing a stream left from before, so that the next line opens
// the file again.
void Reset();

// One log line, line feed included, for the given local time.
std::string FormatLine(const std::tm& local, std::string_view first, std::string_view second);

} // namespace ActivityLog

// An activity log to write to, or none: what the -l option turns on. Requests are handed one, so
// that they write where their caller says.
class Logger {
public:
    Logger() = default; // writes nothing
    explicit Logger(std::string fileName) : m_enabled(true), m_file(std::move(fileName)) {}
    bool Enabled() const { return m_enabled; }
    const std::string& File() const { return m_file; }
    void Write(std::string_view first, std::string_view second) const {
        if (m_enabled)
            ActivityLog::Write(m_file, first, second);
    }

private:
    bool m_enabled = false;
    std::string m_file;
};

// The process's activity log: one a process, set at start-up. The one global of the client
// besides the fault handler's prepared state.
Logger& ProcessLog();
