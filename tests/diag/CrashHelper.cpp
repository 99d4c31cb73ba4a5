// Crashes on purpose, the way its argument says, after installing the fault handlers.
#include "diag/FaultReport.h"

#include <atomic>
#include <cfenv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

__attribute__((noinline)) int Recurse(int depth) {
    if (depth < 0) // never: it only keeps the compiler from calling this endless
        return 0;
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    return Recurse(depth + 1) + frame[0];
}

__attribute__((noinline)) void WriteThroughNull(int value) {
    volatile int* volatile target = nullptr; // read back at run time, so the write stays
    *target = value;
}

// Another thread holds the allocator's lock: malloc_stats() keeps an arena locked while it
// prints to stderr, whose writes here never return.
std::atomic<bool> g_locked{false};

ssize_t BlockingWrite(void*, const char*, size_t) {
    g_locked = true;
    for (;;)
        pause();
}

void HoldAllocatorLock() {
    cookie_io_functions_t io{};
    io.write = BlockingWrite;
    FILE* blocking = fopencookie(nullptr, "w", io);
    setvbuf(blocking, nullptr, _IONBF, 0);
    stderr = blocking;
    std::thread([] { malloc_stats(); }).detach();
    while (!g_locked)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

int main(int argc, char** argv) {
    InstallFaultFilter();
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "null") {
        WriteThroughNull(42);
    } else if (what == "illegal") {
        __builtin_trap();
    } else if (what == "float") {
        feenableexcept(FE_DIVBYZERO);
        volatile double zero = 0;
        volatile double result = 1.0 / zero;
        (void)result;
    } else if (what == "intdiv") {
        volatile int one = 1;
        volatile int zero = 0;
        volatile int result = one / zero;
        (void)result;
    } else if (what == "abort") {
        std::abort();
    } else if (what == "overflow") {
        return Recurse(0);
    } else if (what == "threadoverflow") {
        std::thread([] { Recurse(0); }).join();
    } else if (what == "breakpoint") {
        __asm__ volatile("int3");
    } else if (what == "malloclock") {
        HoldAllocatorLock();
        WriteThroughNull(9);
    } else if (what == "gone") {
        // A current folder that no longer exists: no report can be written there.
        char folder[] = "/tmp/zdx-gone-XXXXXX";
        if (mkdtemp(folder) && chdir(folder) == 0 && rmdir(folder) == 0)
            WriteThroughNull(7);
    }
    return 3;
}
