#include "diag/ActivityLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {
// Requests write from a worker thread while the window writes too: one line at a time.
std::mutex g_logMutex;
std::FILE* g_logStream = nullptr;
bool g_writeFailureReported = false;
bool g_openFailureReported = false;
} // namespace

Logger& ProcessLog() {
    static Logger log;
    return log;
}

std::string ActivityLog::FormatLine(const std::tm& local, std::string_view first,
                                    std::string_view second) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%4d.%02d.%02d %02d:%02d ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
    std::string line = stamp;
    line.reserve(line.size() + first.size() + second.size() + 2);
    line.append(first).append(" ").append(second).append("\n");
    return line;
}

void ActivityLog::Reset() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_writeFailureReported = false;
    g_openFailureReported = false;
    if (g_logStream)
        std::fclose(g_logStream);
    g_logStream = nullptr;
}

void ActivityLog::Write(const std::string& fileName, std::string_view first,
                        std::string_view second) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    if (!g_logStream) {
        g_logStream = std::fopen(fileName.c_str(), "a");
        if (!g_logStream) {
            // Said once: a search would otherwise repeat it for every line of its page.
            if (!g_openFailureReported)
                std::perror(fileName.c_str());
            g_openFailureReported = true;
            return;
        }
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string line = ActivityLog::FormatLine(local, first, second);
    // Flushed line by line, so that a crash does not lose the lines that led to it.
    const bool written = std::fwrite(line.data(), 1, line.size(), g_logStream) == line.size() &&
                         std::fflush(g_logStream) == 0;
    if (!written) {
        // Said once: a full disk would otherwise repeat it on every line.
        if (!g_writeFailureReported)
            std::fprintf(stderr, "%s: cannot write the activity log: %s\n", fileName.c_str(),
                         std::strerror(errno));
        g_writeFailureReported = true;
        std::clearerr(g_logStream);
    }
}
