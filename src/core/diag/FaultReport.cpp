#include "diag/FaultReport.h"

#include "text/Version.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

// Everything the handler touches is prepared at install time; the handler itself makes only
// async-signal-safe calls (write, open, read, fork, execve, raise) and allocates nothing.

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

void ShowMessageBox(const char* message) {
    if (!g_haveDisplay || !g_boxProgram[0])
        return;
    const pid_t child = fork();
    if (child != 0)
        return; // nobody waits for it
    setsid();
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, 0);
    dup2(devNull, 1);
    dup2(devNull, 2);
    char option[] = "--fault-message";
    char* argv[] = {g_boxProgram, option, const_cast<char*>(message), nullptr};
    execve(g_boxProgram, argv, environ);
    _exit(127);
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

void WriteWalk(Out& out, std::uintptr_t faultAddress, std::uintptr_t frame,
               const StackBounds& bounds, bool frameGiven) {
    if (frameGiven) {
        out.Put("\n  Fault Occured At $ADDRESS:");
        out.Hex(faultAddress, 8);
        out.Char('\n');
    }
    std::uintptr_t previous = 0;
    for (int i = 0; frame != 0 && i < kMaxFrames; ++i) {
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
        if (ret == 0)
            break;
        previous = frame;
        frame = next;
    }
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
            WriteWalk(out, address, fp, bounds, fp != 0);
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
