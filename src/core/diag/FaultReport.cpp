#include "diag/FaultReport.h"

#include "text/Version.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <sys/mman.h>

// Everything the handler touches is prepared at install time; the handler itself allocates
// nothing and calls no routine that takes a C library lock: raw system calls, sigaction,
// sigprocmask, siglongjmp, raise, libunwind's local unwinder (which keeps its own memory and
// reads memory under a fault guard here) and posix_spawn (a vfork-style clone that takes no
// allocator lock; its attributes and file actions are made at install time).

extern char** environ;

namespace {

constexpr int kMaxFrames = 100;
constexpr int kMaxArgumentBytes = 20;
constexpr std::size_t kMaxMessage = 255;
// How far around the stack pointer a fault counts as running off the stack, and the size of
// the gap below the main stack's limit the kernel keeps unmapped.
constexpr std::uintptr_t kStackSlack = 64 * 1024;
constexpr std::uintptr_t kGuardGap = 1024 * 1024;
// Other threads' stacks are not known to the handler: their walk keeps to this window.
constexpr std::uintptr_t kThreadWindow = 8 * 1024 * 1024;
constexpr const char* kStars = "****************************************************\n";
constexpr const char* kReportName = "Win32Fault.log";

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};

std::atomic<bool> g_installed{false};
std::atomic<bool> g_inHandler{false};
StackBounds g_mainStack;
pid_t g_mainThread = 0;
int g_probe[2] = {-1, -1}; // a pipe through which memory is read without faulting
char g_boxProgram[4096] = "";
bool g_haveDisplay = false;
alignas(16) char g_altStack[256 * 1024];
posix_spawnattr_t g_boxAttributes;
posix_spawn_file_actions_t g_boxFiles;
bool g_boxReady = false;

// The call-frame unwind of the faulting thread: the fault's pc, then return addresses.
constexpr int kMaxUnwound = kMaxFrames + 1;
std::uintptr_t g_unwound[kMaxUnwound];
int g_unwoundCount = 0;
sigjmp_buf g_unwindEscape;

// /proc/self/maps, read in the handler for the module table.
char g_maps[512 * 1024];

struct NameEntry {
    std::uint32_t code;
    const char* name;
};
constexpr NameEntry kNames[] = {
    {0x80000002, "DATATYPE MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT DIVIDE BY ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
};

// A small output buffer over a file descriptor.
class Out {
public:
    explicit Out(int fd) : m_fd(fd) {}
    ~Out() { Flush(); }
    void Put(const char* text) {
        while (*text)
            Char(*text++);
    }
    void Char(char c) {
        if (m_used == sizeof m_buffer)
            Flush();
        m_buffer[m_used++] = c;
    }
    // Upper-case hexadecimal, at least `digits` digits.
    void Hex(std::uint64_t value, int digits) {
        char text[17];
        int n = 0;
        do {
            text[n++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0 || n < digits);
        while (n > 0)
            Char(text[--n]);
    }
    // A number right-aligned in two characters, as "%2d".
    void Dec2(int value) {
        char text[12];
        int n = 0;
        do {
            text[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (int pad = n; pad < 2; ++pad)
            Char(' ');
        while (n > 0)
            Char(text[--n]);
    }
    void Flush() {
        std::size_t done = 0;
        while (done < m_used) {
            const ssize_t n = write(m_fd, m_buffer + done, m_used - done);
            if (n <= 0 && errno != EINTR)
                break;
            if (n > 0)
                done += static_cast<std::size_t>(n);
        }
        m_used = 0;
    }

private:
    int m_fd;
    char m_buffer[1024];
    std::size_t m_used = 0;
};

// Copies memory that may not be readable: the kernel reports EFAULT instead of a fault. Raw
// system calls, so that no library wrapper (nor a sanitizer's) looks at the memory first.
bool SafeRead(std::uintptr_t address, void* out, std::size_t size) {
    if (g_probe[0] < 0) {
        if (pipe2(g_probe, O_NONBLOCK | O_CLOEXEC) != 0)
            return false;
    }
    const auto written = static_cast<ssize_t>(
        syscall(SYS_write, g_probe[1], reinterpret_cast<const void*>(address), size));
    if (written != static_cast<ssize_t>(size)) {
        char sink[64]; // drain a partial copy
        for (ssize_t left = written; left > 0;) {
            const ssize_t n =
                read(g_probe[0], sink,
                     sizeof sink < static_cast<std::size_t>(left) ? sizeof sink
                                                                  : static_cast<std::size_t>(left));
            if (n <= 0)
                break;
            left -= n;
        }
        return false;
    }
    return syscall(SYS_read, g_probe[0], out, size) == static_cast<long>(size);
}

StackBounds ThreadBounds(std::uintptr_t stackPointer) {
    if (g_mainThread != 0 && static_cast<pid_t>(syscall(SYS_gettid)) == g_mainThread &&
        g_mainStack.high != 0)
        return g_mainStack;
    return {stackPointer, stackPointer + kThreadWindow};
}

// The main thread's stack from /proc/self/maps, down to its size limit.
StackBounds FindMainStack() {
    StackBounds bounds;
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bounds;
    static char text[256 * 1024];
    std::size_t used = 0;
    for (ssize_t n;
         used < sizeof text - 1 && (n = read(fd, text + used, sizeof text - 1 - used)) > 0;)
        used += static_cast<std::size_t>(n);
    close(fd);
    text[used] = '\0';
    const char* line = std::strstr(text, "[stack]");
    if (!line)
        return bounds;
    while (line > text && line[-1] != '\n')
        --line;
    char* end = nullptr;
    const std::uintptr_t start = std::strtoull(line, &end, 16);
    const std::uintptr_t stop = std::strtoull(end + 1, nullptr, 16);
    rlimit limit{};
    std::uintptr_t size = 8u << 20;
    if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        size = limit.rlim_cur;
    bounds.high = stop;
    bounds.low = stop - size < start ? stop - size : start;
    return bounds;
}

// Where the message box comes from: zdx itself, or the zdx beside zdx-query.
void FindBoxProgram() {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return;
    self[n] = '\0';
    char* slash = std::strrchr(self, '/');
    if (!slash || static_cast<std::size_t>(slash - self) + 5 >= sizeof g_boxProgram)
        return;
    slash[1] = '\0';
    std::strcpy(g_boxProgram, self);
    std::strcat(g_boxProgram, "zdx");
    if (access(g_boxProgram, X_OK) != 0)
        g_boxProgram[0] = '\0';
}

void PrepareMessageBox() {
    if (posix_spawnattr_init(&g_boxAttributes) != 0)
        return;
    if (posix_spawn_file_actions_init(&g_boxFiles) != 0) {
        posix_spawnattr_destroy(&g_boxAttributes);
        return;
    }
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&g_boxAttributes, &none);
    posix_spawnattr_setflags(&g_boxAttributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_USEVFORK);
    posix_spawn_file_actions_addopen(&g_boxFiles, 0, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&g_boxFiles, 0, 1);
    posix_spawn_file_actions_adddup2(&g_boxFiles, 0, 2);
    g_boxReady = true;
}

// Starts `zdx --fault-message` without fork(): fork runs the C library's fork handlers, which
// wait for the allocator's locks, so a crash while another thread held one would hang here.
void ShowMessageBox(const char* message) {
    if (!g_haveDisplay || !g_boxProgram[0] || !g_boxReady)
        return;
    char option[] = "--fault-message";
    char* argv[] = {g_boxProgram, option, const_cast<char*>(message), nullptr};
    pid_t child;
    posix_spawn(&child, g_boxProgram, &g_boxFiles, &g_boxAttributes, argv, environ); // not waited
}

std::size_t ComposeMessage(std::uint32_t code, char* out, std::size_t capacity) {
    // "Fatal error %08X: %s\n Please send win32fault.log to " and the support address.
    std::size_t n = 0;
    auto put = [&](const char* text) {
        while (*text && n + 1 < capacity)
            out[n++] = *text++;
    };
    put("Fatal error ");
    char hex[9];
    for (int i = 7; i >= 0; --i)
        hex[7 - i] = "0123456789ABCDEF"[(code >> (4 * i)) & 0xF];
    hex[8] = '\0';
    put(hex);
    put(": ");
    put(FaultName(code));
    put("\n Please send win32fault.log to ");
    put(kSupportAddress);
    out[n] = '\0';
    return n;
}

void EscapeFromUnwind(int) {
    siglongjmp(g_unwindEscape, 1);
}

// Unwinds the faulting thread from the signal's saved context with the call-frame information
// into g_unwound. A fault while reading a broken stack ends the unwind, not the report.
void UnwindFromContext(ucontext_t* context) {
    g_unwoundCount = 0;
    if (!context)
        return;
    struct sigaction escape {
    }, oldSegv{}, oldBus{};
    escape.sa_handler = EscapeFromUnwind;
    escape.sa_flags = SA_ONSTACK | SA_NODEFER;
    sigemptyset(&escape.sa_mask);
    sigaction(SIGSEGV, &escape, &oldSegv);
    sigaction(SIGBUS, &escape, &oldBus);
    sigset_t faults, before;
    sigemptyset(&faults);
    sigaddset(&faults, SIGSEGV);
    sigaddset(&faults, SIGBUS);
    sigprocmask(SIG_UNBLOCK, &faults, &before);
    if (sigsetjmp(g_unwindEscape, 0) == 0) {
        unw_cursor_t cursor;
        if (unw_init_local2(&cursor, context, UNW_INIT_SIGNAL_FRAME) == 0) {
            do {
                unw_word_t ip = 0;
                if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0)
                    break;
                g_unwound[g_unwoundCount++] = ip;
            } while (g_unwoundCount < kMaxUnwound && unw_step(&cursor) > 0);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    sigaction(SIGSEGV, &oldSegv, nullptr);
    sigaction(SIGBUS, &oldBus, nullptr);
}

void WriteUnwoundFrame(Out& out, int number, std::uintptr_t ret) {
    out.Put("         with (no frame bytes: unwound from call-frame information)\n\n");
    out.Put("*** ");
    out.Dec2(number);
    out.Put(" called from $ADDRESS:");
    out.Hex(ret, 8);
    out.Char('\n');
}

// The GNU build-id of the ELF object whose header is mapped at `start`, as hexadecimal.
void WriteBuildId(Out& out, std::uintptr_t start) {
    Elf64_Ehdr header;
    if (!SafeRead(start, &header, sizeof header) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr)) {
        out.Put("-");
        return;
    }
    std::uintptr_t firstLoad = 0;
    bool haveLoad = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (unsigned i = 0; i < header.e_phnum && i < 64; ++i) {
            Elf64_Phdr ph;
            if (!SafeRead(start + header.e_phoff + i * sizeof ph, &ph, sizeof ph))
                break;
            if (pass == 0) {
                if (ph.p_type == PT_LOAD && !haveLoad) {
                    firstLoad = ph.p_vaddr - ph.p_offset;
                    haveLoad = true;
                }
                continue;
            }
            if (ph.p_type != PT_NOTE)
                continue;
            // Notes: namesz, descsz, type, then the name and the description, each 4-aligned.
            std::uintptr_t note = start - firstLoad + ph.p_vaddr;
            const std::uintptr_t end = note + ph.p_memsz;
            while (note + 12 <= end) {
                std::uint32_t head[3];
                if (!SafeRead(note, head, sizeof head))
                    break;
                const std::uintptr_t name = note + 12;
                const std::uintptr_t desc = name + ((head[0] + 3) & ~3u);
                char owner[4] = {};
                if (head[2] == NT_GNU_BUILD_ID && head[0] == 4 && head[1] <= 64 &&
                    SafeRead(name, owner, 4) && std::memcmp(owner, "GNU", 4) == 0) {
                    for (std::uint32_t k = 0; k < head[1]; ++k) {
                        unsigned char byte;
                        if (!SafeRead(desc + k, &byte, 1))
                            break;
                        out.Hex(byte, 2);
                    }
                    return;
                }
                note = desc + ((head[1] + 3) & ~3u);
            }
        }
    }
    out.Put("-");
}

// Every ELF object mapped from a file, once: its address range, build-id and path, so that any
// address of the report can be turned into a module and an offset.
void WriteModules(Out& out) {
    const int fd = static_cast<int>(syscall(SYS_open, "/proc/self/maps", O_RDONLY | O_CLOEXEC));
    if (fd < 0)
        return;
    std::size_t used = 0;
    for (long n; used < sizeof g_maps - 1 &&
                 (n = syscall(SYS_read, fd, g_maps + used, sizeof g_maps - 1 - used)) > 0;)
        used += static_cast<std::size_t>(n);
    syscall(SYS_close, fd);
    g_maps[used] = '\0';

    out.Put("\n*** Modules (start-end build-id path):\n");
    const char* currentPath = nullptr;
    std::size_t currentLength = 0;
    std::uintptr_t moduleStart = 0, moduleEnd = 0;
    auto flush = [&] {
        char magic[SELFMAG];
        if (!currentPath || !SafeRead(moduleStart, magic, sizeof magic) ||
            std::memcmp(magic, ELFMAG, SELFMAG) != 0) { // fonts, locales and caches are no code
            currentPath = nullptr;
            return;
        }
        out.Put("*** ");
        out.Hex(moduleStart, 12);
        out.Char('-');
        out.Hex(moduleEnd, 12);
        out.Char(' ');
        WriteBuildId(out, moduleStart);
        out.Char(' ');
        for (std::size_t k = 0; k < currentLength; ++k)
            out.Char(currentPath[k]);
        out.Char('\n');
        currentPath = nullptr;
    };
    for (char* line = g_maps; *line;) {
        char* end = std::strchr(line, '\n');
        if (!end)
            end = line + std::strlen(line);
        // start-end perms offset dev inode path
        char* cursor = line;
        const std::uintptr_t start = std::strtoull(cursor, &cursor, 16);
        const std::uintptr_t stop = std::strtoull(cursor + 1, &cursor, 16);
        while (cursor < end && *cursor == ' ')
            ++cursor;
        cursor = std::strchr(cursor, ' '); // past the permissions
        const std::uintptr_t offset = cursor ? std::strtoull(cursor + 1, &cursor, 16) : 1;
        const char* path = cursor ? std::strchr(cursor, '/') : nullptr;
        if (path && path < end) {
            const std::size_t length = static_cast<std::size_t>(end - path);
            if (currentPath && length == currentLength &&
                std::memcmp(path, currentPath, length) == 0) {
                moduleEnd = stop;
            } else if (offset == 0) {
                flush();
                currentPath = path;
                currentLength = length;
                moduleStart = start;
                moduleEnd = stop;
            }
        }
        line = *end ? end + 1 : end;
    }
    flush();
}

// The frame-pointer walk; returns the number of frames it wrote, with the last return address
// and whether the chain ended on a zero return address (the outermost frame).
int WriteWalk(Out& out, std::uintptr_t faultAddress, std::uintptr_t frame,
              const StackBounds& bounds, bool frameGiven, std::uintptr_t* lastReturn = nullptr,
              bool* reachedEnd = nullptr) {
    if (frameGiven) {
        out.Put("\n  Fault Occured At $ADDRESS:");
        out.Hex(faultAddress, 8);
        out.Char('\n');
    }
    std::uintptr_t previous = 0;
    int i = 0;
    for (; frame != 0 && i < kMaxFrames; ++i) {
        // A frame pointer the walk may follow: on the stack, aligned, above the one before.
        if (frame < bounds.low || frame + 2 * sizeof(std::uintptr_t) > bounds.high ||
            frame % sizeof(std::uintptr_t) != 0 || (i > 0 && frame <= previous))
            break;
        std::uintptr_t words[2];
        if (!SafeRead(frame, words, sizeof words))
            break;
        const std::uintptr_t next = words[0];
        const std::uintptr_t ret = words[1];
        out.Put("         with ");
        const std::uintptr_t arguments = frame + 2 * sizeof(std::uintptr_t);
        for (int k = 0; k < kMaxArgumentBytes && arguments + k < next; ++k) {
            unsigned char byte;
            if (!SafeRead(arguments + k, &byte, 1))
                break;
            out.Hex(byte, 2);
            out.Char(' ');
        }
        out.Put("\n\n");
        if (i == 1 && !frameGiven) {
            out.Put(kStars);
            out.Put("         Fault Occured Here:\n");
        }
        out.Put("*** ");
        out.Dec2(i);
        out.Put(" called from $ADDRESS:");
        out.Hex(ret, 8);
        out.Char('\n');
        if (lastReturn)
            *lastReturn = ret;
        if (ret == 0) {
            if (reachedEnd)
                *reachedEnd = true;
            return i + 1;
        }
        previous = frame;
        frame = next;
    }
    return i;
}

// The walk of the report: the frame-pointer chain where it holds, continued (or, when the chain
// does not start at the faulting function's caller, replaced) by the call-frame unwind.
void WriteFullWalk(Out& out, std::uintptr_t address, std::uintptr_t fp, const StackBounds& bounds) {
    std::uintptr_t firstReturn[2] = {};
    const bool chainAgrees =
        g_unwoundCount < 2 ||
        (fp != 0 && fp >= bounds.low && fp + 16 <= bounds.high &&
         SafeRead(fp, firstReturn, sizeof firstReturn) && firstReturn[1] == g_unwound[1]);
    int written = 0;
    int next = 1; // the first unwound return address not yet written
    if (chainAgrees) {
        std::uintptr_t last = 0;
        bool reachedEnd = false;
        written = WriteWalk(out, address, fp, bounds, fp != 0, &last, &reachedEnd);
        if (reachedEnd)
            return;
        next = g_unwoundCount; // nothing more, unless the chain's end is found in the unwind
        for (int k = 1; k < g_unwoundCount && written > 0; ++k)
            if (g_unwound[k] == last)
                next = k + 1;
        if (written == 0)
            next = 1;
    } else {
        out.Put("\n  Fault Occured At $ADDRESS:");
        out.Hex(address, 8);
        out.Char('\n');
    }
    for (; next < g_unwoundCount && written < kMaxFrames; ++next)
        WriteUnwoundFrame(out, written++, g_unwound[next]);
}

void FaultFilter(int signal, siginfo_t* info, void* context) {
    if (g_inHandler.exchange(true)) {
        raise(signal); // a fault inside the report: end by the default action
        return;
    }
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    const std::uintptr_t pc = uc ? uc->uc_mcontext.gregs[REG_RIP] : 0;
    const std::uintptr_t sp = uc ? uc->uc_mcontext.gregs[REG_RSP] : 0;
    const std::uintptr_t fp = uc ? uc->uc_mcontext.gregs[REG_RBP] : 0;
#else
    const std::uintptr_t pc = 0, sp = 0, fp = 0;
    (void)uc;
#endif
    const auto faultAddress = reinterpret_cast<std::uintptr_t>(info ? info->si_addr : nullptr);
    const StackBounds bounds = ThreadBounds(sp);
    const bool inGuard = (signal == SIGSEGV) &&
                         ((faultAddress + kStackSlack >= sp && faultAddress < sp + kStackSlack) ||
                          (g_mainStack.low != 0 && faultAddress < g_mainStack.low &&
                           faultAddress + kGuardGap >= g_mainStack.low));
    const std::uint32_t code = FaultCodeOf(signal, info ? info->si_code : 0, inGuard);
    // The instruction that faulted (for an abort, where abort raised the signal).
    const std::uintptr_t address = pc;
    const std::uint32_t flags = 0;

    char message[kMaxMessage + 1];
    ComposeMessage(code, message, sizeof message);

    UnwindFromContext(static_cast<ucontext_t*>(context));
    const int fd = open(kReportName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        {
            Out out(fd);
            out.Put(kStars);
            out.Put("*** A Program Fault occurred in ZDX ");
            out.Put(kVersionText);
            out.Put(":\n");
            out.Put("*** Error code ");
            out.Hex(code, 8);
            out.Put(": ");
            out.Put(FaultName(code));
            out.Char('\n');
            out.Put(kStars);
            out.Put("***   Address: ");
            out.Hex(address, 8);
            out.Char('\n');
            out.Put("***     Flags: ");
            out.Hex(flags, 8);
            out.Char('\n');
            WriteFullWalk(out, address, fp, bounds);
            WriteModules(out);
        }
        close(fd);
    }

    Out err(STDERR_FILENO);
    err.Put(message);
    err.Char('\n');
    err.Flush();
    ShowMessageBox(message);

    // SA_RESETHAND has put back the default action: end the way the signal says.
    raise(signal);
}

} // namespace

const char* FaultName(std::uint32_t code) {
    for (const NameEntry& e : kNames)
        if (e.code == code)
            return e.name;
    return "(unknown)";
}

// How signals map onto the exception codes:
//   SIGSEGV            access violation; stack overflow when the address is at the stack's end
//   SIGBUS             BUS_ADRALN misalignment; BUS_ADRERR/BUS_OBJERR in-page error
//   SIGILL             ILL_PRVOPC/ILL_PRVREG privileged instruction; else illegal instruction
//   SIGFPE             FPE_INTDIV integer division by zero (no name), FPE_INTOVF integer
//                      overflow, FPE_FLTDIV/OVF/UND/RES/INV the floating-point kinds,
//                      FPE_FLTSUB array bounds
//   SIGTRAP            TRAP_TRACE single step; a breakpoint otherwise
//   SIGABRT            0x40000015, outside the table of names
std::uint32_t FaultCodeOf(int signal, int siCode, bool inStackGuard) {
    switch (signal) {
    case SIGSEGV:
        return inStackGuard ? kStackOverflow : kAccessViolation;
    case SIGBUS:
        if (siCode == BUS_ADRALN)
            return kDatatypeMisalignment;
        if (siCode == BUS_ADRERR || siCode == BUS_OBJERR)
            return kInPageError;
        return kAccessViolation;
    case SIGILL:
        return siCode == ILL_PRVOPC || siCode == ILL_PRVREG ? kPrivInstruction
                                                            : kIllegalInstruction;
    case SIGFPE:
        switch (siCode) {
        case FPE_INTDIV:
            return kIntDivideByZero;
        case FPE_INTOVF:
            return kIntOverflow;
        case FPE_FLTDIV:
            return kFltDivideByZero;
        case FPE_FLTOVF:
            return kFltOverflow;
        case FPE_FLTUND:
            return kFltUnderflow;
        case FPE_FLTRES:
            return kFltInexactResult;
        case FPE_FLTSUB:
            return kArrayBoundsExceeded;
        default:
            return kFltInvalidOperation;
        }
    case SIGTRAP:
        return siCode == TRAP_TRACE ? kSingleStep : kBreakpoint;
    case SIGABRT:
        return kAbort;
    default:
        return kAccessViolation;
    }
}

std::string FatalMessage(std::uint32_t code) {
    char message[kMaxMessage + 1];
    ComposeMessage(code, message, sizeof message);
    return message;
}

void WriteStackTrace(int fd, std::uintptr_t faultAddress, std::uintptr_t framePointer,
                     const StackBounds* bounds) {
    const bool frameGiven = framePointer != 0;
    if (!frameGiven)
        framePointer = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const StackBounds walk =
        bounds ? *bounds : ThreadBounds(reinterpret_cast<std::uintptr_t>(&faultAddress));
    Out out(fd);
    WriteWalk(out, faultAddress, framePointer, walk, frameGiven);
}

namespace {

constexpr std::size_t kThreadAltStackBytes = 128 * 1024;

// An alternate signal stack for the thread that makes it, given back when the thread ends: the
// fault handler then runs for a stack overflow on that thread too.
class ThreadAltStack {
public:
    ThreadAltStack() {
        void* memory = mmap(nullptr, kThreadAltStackBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED)
            return;
        stack_t alternate{};
        alternate.ss_sp = memory;
        alternate.ss_size = kThreadAltStackBytes;
        if (sigaltstack(&alternate, nullptr) != 0) {
            munmap(memory, kThreadAltStackBytes);
            return;
        }
        m_memory = memory;
    }
    ~ThreadAltStack() {
        if (!m_memory)
            return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(m_memory, kThreadAltStackBytes);
    }
    ThreadAltStack(const ThreadAltStack&) = delete;
    ThreadAltStack& operator=(const ThreadAltStack&) = delete;

private:
    void* m_memory = nullptr;
};

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* StartWithAltStack(void* start) {
    const ThreadStart what = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    const ThreadAltStack guard;
    return what.routine(what.argument);
}

} // namespace

// Every thread the program starts (its own, libcurl's resolvers, Qt's) gets an alternate signal
// stack, so that an overflow there is reported like one on the main thread: the program's
// pthread_create takes the place of the C library's and hands the thread to it.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                              void* (*routine)(void*), void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    if (!real)
        return EAGAIN;
    auto* start = new (std::nothrow) ThreadStart{routine, argument};
    if (!start)
        return real(thread, attributes, routine, argument);
    const int result = real(thread, attributes, StartWithAltStack, start);
    if (result != 0)
        delete start;
    return result;
}

void InstallFaultFilter() {
    if (g_installed.exchange(true))
        return;
    g_mainThread = static_cast<pid_t>(syscall(SYS_gettid));
    g_mainStack = FindMainStack();
    if (g_probe[0] < 0 && pipe2(g_probe, O_NONBLOCK | O_CLOEXEC) != 0)
        g_probe[0] = g_probe[1] = -1;
    const char* display = getenv("DISPLAY");
    const char* wayland = getenv("WAYLAND_DISPLAY");
    g_haveDisplay = (display && *display) || (wayland && *wayland);
    FindBoxProgram();
    PrepareMessageBox();
    // Lets libunwind read its unwind tables now rather than for the first time in the handler.
    unw_context_t context;
    unw_cursor_t cursor;
    if (unw_getcontext(&context) == 0 && unw_init_local(&cursor, &context) == 0)
        unw_step(&cursor);

    stack_t alternate{};
    alternate.ss_sp = g_altStack;
    alternate.ss_size = sizeof g_altStack;
    sigaltstack(&alternate, nullptr);

    struct sigaction action {};
    action.sa_sigaction = FaultFilter;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
}
