#pragma once
// The activity log: one time-stamped line per call, appended to a text file.
#include <ctime>
#include <string>
#include <string_view>

namespace ActivityLog {

// Appends "YYYY.MM.DD hh:mm <first> <second>" to the log. The file name is used only to open
// the stream; once open, the stream stays open for the run. When the file cannot be opened the
// failure goes to standard error, the line is dropped and the next call tries again.
void Write(const std::string& fileName, std::string_view first, std::string_view second);

// Marks the log as not open, closing a stream left from before, so that the next line opens
// the file again.
void Reset();

// One log line, line feed included, for the given local time.
std::string FormatLine(const std::tm& local, std::string_view first, std::string_view second);

} // namespace ActivityLog
