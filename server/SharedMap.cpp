#include "SharedMap.h"

#include <atomic>
#include <cstdint>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <sqlite3.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zdxserver {

namespace {

std::atomic<unsigned long long> g_fetches{0}, g_mappings{0};

// One file's mapping, made once over far more address space than the file holds, so that it
// never moves while pages are read from it. Only the part the file holds is handed out: past
// its end a read would fault.
class Mapping {
public:
    // The mapping of the file at `path`, the one already made when another connection has it
    // open (known by its inode: a file made anew under the same name is mapped anew).
    static std::shared_ptr<Mapping> For(const char* path) {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0)
                close(fd);
            return nullptr;
        }
        static std::mutex mutex;
        static std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Mapping>> mappings;
        std::lock_guard<std::mutex> lock(mutex);
        std::erase_if(mappings, [](const auto& m) { return m.second.expired(); });
        if (auto known = mappings[{st.st_dev, st.st_ino}].lock()) {
            close(fd);
            return known;
        }
        void* at = mmap(nullptr, kReserve, PROT_READ, MAP_SHARED, fd, 0);
        if (at == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        auto mapping = std::make_shared<Mapping>(fd, static_cast<const char*>(at));
        mappings[{st.st_dev, st.st_ino}] = mapping;
        g_mappings.fetch_add(1, std::memory_order_relaxed);
        return mapping;
    }

    Mapping(int fd, const char* at) : m_fd(fd), m_at(at) {}
    ~Mapping() {
        munmap(const_cast<char*>(m_at), kReserve);
        close(m_fd);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;

    // The bytes from `offset` on, or null when the file does not hold them all.
    const char* At(std::int64_t offset, int bytes) {
        const std::int64_t end = offset + bytes;
        if (offset < 0 || bytes < 0 || end > static_cast<std::int64_t>(kReserve))
            return nullptr;
        if (end > m_size.load(std::memory_order_acquire)) {
            struct stat st {};
            if (fstat(m_fd, &st) != 0)
                return nullptr;
            std::int64_t known = m_size.load();
            while (st.st_size > known && !m_size.compare_exchange_weak(known, st.st_size)) {
            }
            if (end > st.st_size)
                return nullptr;
        }
        return m_at + offset;
    }

    // The file cut to `size` bytes by a connection of this process: nothing past them is
    // handed out again. (SQLite cuts a database only when no reader needs what goes.)
    void Truncated(std::int64_t size) {
        std::int64_t known = m_size.load();
        while (size < known && !m_size.compare_exchange_weak(known, size)) {
        }
    }

private:
    static constexpr std::size_t kReserve = std::size_t{1} << 36; // 64 GB of addresses
    int m_fd;
    const char* m_at;
    std::atomic<std::int64_t> m_size{0};
};

// A file opened through the default file system, with the mapping of a main database.
struct MapFile {
    sqlite3_file base;
    sqlite3_file* real;
    std::shared_ptr<Mapping> mapping;
    sqlite3_int64 limit = 0; // the connection's PRAGMA mmap_size: pages past it are read
};

sqlite3_vfs* g_default = nullptr;

sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<MapFile*>(f)->real;
}

int Close(sqlite3_file* f) {
    auto* file = reinterpret_cast<MapFile*>(f);
    const int rc = file->real->pMethods ? file->real->pMethods->xClose(file->real) : SQLITE_OK;
    file->~MapFile(); // lets go of the mapping too
    return rc;
}
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 at) {
    return Real(f)->pMethods->xRead(Real(f), p, n, at);
}
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 at) {
    return Real(f)->pMethods->xWrite(Real(f), p, n, at);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    auto* file = reinterpret_cast<MapFile*>(f);
    if (file->mapping)
        file->mapping->Truncated(size);
    return file->real->pMethods->xTruncate(file->real, size);
}
int Sync(sqlite3_file* f, int flags) {
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xLock(Real(f), level);
}
int Unlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    auto* file = reinterpret_cast<MapFile*>(f);
    if (op == SQLITE_FCNTL_MMAP_SIZE && file->mapping) {
        // The limit asked for (none when negative), the one before it given back.
        auto* limit = static_cast<sqlite3_int64*>(arg);
        const sqlite3_int64 asked = *limit;
        *limit = file->limit;
        if (asked >= 0)
            file->limit = asked;
        return SQLITE_OK;
    }
    return file->real->pMethods->xFileControl(file->real, op, arg);
}
int SectorSize(sqlite3_file* f) {
    return Real(f)->pMethods->xSectorSize(Real(f));
}
int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** p) {
    return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, p);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
    Real(f)->pMethods->xShmBarrier(Real(f));
}
int ShmUnmap(sqlite3_file* f, int deleteFlag) {
    return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
int Fetch(sqlite3_file* f, sqlite3_int64 at, int n, void** p) {
    // Null: SQLite reads the page itself instead.
    auto* file = reinterpret_cast<MapFile*>(f);
    const char* bytes = file->mapping && at + n <= file->limit ? file->mapping->At(at, n) : nullptr;
    *p = const_cast<char*>(bytes);
    if (bytes)
        g_fetches.fetch_add(1, std::memory_order_relaxed);
    return SQLITE_OK;
}
int Unfetch(sqlite3_file*, sqlite3_int64, void*) {
    return SQLITE_OK; // the mapping stays for the other connections
}

const sqlite3_io_methods kMethods = {
    3,
    Close,
    Read,
    Write,
    Truncate,
    Sync,
    FileSize,
    Lock,
    Unlock,
    CheckReservedLock,
    FileControl,
    SectorSize,
    DeviceCharacteristics,
    ShmMap,
    ShmLock,
    ShmBarrier,
    ShmUnmap,
    Fetch,
    Unfetch,
};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    auto* file = new (f) MapFile{};
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    file->real->pMethods = nullptr;
    const int rc = g_default->xOpen(g_default, name, file->real, flags, outFlags);
    if (rc != SQLITE_OK || !file->real->pMethods) {
        if (file->real->pMethods)
            file->real->pMethods->xClose(file->real);
        file->~MapFile();
        f->pMethods = nullptr;
        return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
    }
    // Only a main database is mapped: its log and journals are read as they are.
    if ((flags & SQLITE_OPEN_MAIN_DB) && name)
        file->mapping = Mapping::For(name);
    f->pMethods = &kMethods;
    return SQLITE_OK;
}

int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    return g_default->xDelete(g_default, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_default->xAccess(g_default, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_default->xFullPathname(g_default, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) {
    return g_default->xDlOpen(g_default, name);
}
void DlError(sqlite3_vfs*, int n, char* out) {
    g_default->xDlError(g_default, n, out);
}
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return g_default->xDlSym(g_default, handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) {
    g_default->xDlClose(g_default, handle);
}
int Randomness(sqlite3_vfs*, int n, char* out) {
    return g_default->xRandomness(g_default, n, out);
}
int Sleep(sqlite3_vfs*, int micros) {
    return g_default->xSleep(g_default, micros);
}
int CurrentTime(sqlite3_vfs*, double* out) {
    return g_default->xCurrentTime(g_default, out);
}
int GetLastError(sqlite3_vfs*, int n, char* out) {
    return g_default->xGetLastError ? g_default->xGetLastError(g_default, n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_default->xCurrentTimeInt64(g_default, out);
}

} // namespace

const char* SharedMapVfs() {
    static constexpr const char* kName = "zdx-shared-map";
    static const bool registered = [] {
        g_default = sqlite3_vfs_find(nullptr);
        // (Version 2: the default's calls to set and find system calls are for its tests.)
        static sqlite3_vfs vfs = {
            2,
            static_cast<int>(sizeof(MapFile)) + g_default->szOsFile,
            g_default->mxPathname,
            nullptr,
            kName,
            nullptr,
            Open,
            Delete,
            Access,
            FullPathname,
            DlOpen,
            DlError,
            DlSym,
            DlClose,
            Randomness,
            Sleep,
            CurrentTime,
            GetLastError,
            CurrentTimeInt64,
            nullptr,
            nullptr,
            nullptr,
        };
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    return registered ? kName : nullptr;
}

SharedMapCounts SharedMapCounted() {
    return {g_fetches.load(), g_mappings.load()};
}

} // namespace zdxserver
