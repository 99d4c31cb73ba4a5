#include "diag/ActivityLog.h"

#include <cstdio>

namespace {
std::FILE* g_logStream = nullptr;
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
    if (g_logStream)
        std::fclose(g_logStream);
    g_logStream = nullptr;
}

void ActivityLog::Write(const std::string& fileName, std::string_view first,
                        std::string_view second) {
    if (!g_logStream) {
        g_logStream = std::fopen(fileName.c_str(), "a");
        if (!g_logStream) {
            std::perror(fileName.c_str());
            return;
        }
    }
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const std::string line = ActivityLog::FormatLine(local, first, second);
    std::fwrite(line.data(), 1, line.size(), g_logStream);
    // Flushed line by line, so that a crash does not lose the lines that led to it.
    std::fflush(g_logStream);
}
