#pragma once

// A SQLite file system over the default one through which the connections of this process that
// read a database by memory mapping share one mapping of its file. SQLite maps the file once for
// each connection: a page that eight connections read is then counted eight times in the
// process's memory, where here it is counted once.

namespace zdxserver {

// The name to open a database with (sqlite3_open_v2's last argument), the file system
// registered on the first call. Reading through the mapping is still asked for by each
// connection (PRAGMA mmap_size); the others read as SQLite's default file system does.
const char* SharedMapVfs();

// Since the process began: the pages read from the shared mappings, and the mappings made.
struct SharedMapCounts {
    unsigned long long fetches = 0, mappings = 0;
};
SharedMapCounts SharedMapCounted();

} // namespace zdxserver
