#pragma once
// Replacing a file whole or not at all, for every file the programs write for the user: the
// export of hits and the service's users file.
#include <string>
#include <string_view>
#include <sys/types.h>

// Where a write failed.
enum class WriteStep { Create, Write, Replace };

// Writes `bytes` into a new file beside `path` (created exclusively, so that a planted file or
// link at its name is never followed), gives it `mode`, flushes it to disk, then renames it over
// `path`. On failure nothing is left behind and `step` and `error` (an errno value) say why.
bool WriteFileWhole(const std::string& path, std::string_view bytes, mode_t mode, WriteStep& step,
                    int& error);
