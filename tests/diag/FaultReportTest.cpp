// The fault report: real crashes in a child process, and the stack walk on made-up stacks.
#include "diag/FaultReport.h"

#include "../support/RawServer.h"
#include "../support/TestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Waits (up to 10 s) until the process has used no processor time for 300 ms: started and
// idle, in its event loop, however loaded the machine is.
void WaitUntilIdle(int pid) {
    auto cpuTicks = [pid] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), {});
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long ticks = 0;
        for (int i = 3; fields >> field && i <= 15; ++i)
            if (i >= 14) // utime and stime
                ticks += std::stol(field);
        return ticks;
    };
    long last = -1;
    for (int i = 0; i < 100; ++i) {
        const long now = cpuTicks();
        if (now == last)
            return;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
}

int CalledFromLines(const std::vector<std::string>& lines) {
    int n = 0;
    for (const auto& line : lines)
        if (line.find(" called from $ADDRESS:") != std::string::npos)
            ++n;
    return n;
}

struct Crash {
    const char* how;
    int signal;
    const char* code;
    const char* name;
};

class FaultReport : public testing::TestWithParam<Crash> {};

TEST_P(FaultReport, ChildCrashWritesTheReport) {
    const Crash& c = GetParam();
    TempDir dir;
    std::string older;
    for (int i = 0; i < 2000; ++i) // longer than any new report
        older += "an older report, line " + std::to_string(i) + "\n";
    dir.Write("Win32Fault.log", older);
    const ProcessResult r = RunProcess(CRASH_HELPER_BIN, {c.how}, {dir.Path().string(), {}});
    EXPECT_EQ(r.signal, c.signal) << r.err;

    const std::string message = std::string("Fatal error ") + c.code + ": " + c.name +
                                "\n Please send win32fault.log to support@zdx.example\n";
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;

    const std::string report = TempDir::Read(dir.File("Win32Fault.log"));
    EXPECT_EQ(report.find("an older report"), std::string::npos);
    const auto lines = Lines(report);
    ASSERT_GE(lines.size(), 8u) << report;
    const std::string stars(52, '*');
    EXPECT_EQ(lines[0], stars);
    EXPECT_EQ(lines[1], "*** A Program Fault occurred in ZDX 1, 1, 0, 10:");
    EXPECT_EQ(lines[2], std::string("*** Error code ") + c.code + ": " + c.name);
    EXPECT_EQ(lines[3], stars);
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(\*\*\*   Address: [0-9A-F]{8,16})")))
        << lines[4];
    EXPECT_EQ(lines[5], "***     Flags: 00000000");
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(lines[7], "  Fault Occured At $ADDRESS:" + lines[4].substr(15));
    // Frames: a byte line (or the note that an unwound frame has none), an empty line, a
    // numbered "called from" line; then the module table.
    const std::regex bytes(
        R"(         with (([0-9A-F]{2} ){0,20}|\(no frame bytes: unwound from call-frame information\)))");
    const std::regex calledFrom(R"(\*\*\* [ \d]\d called from \$ADDRESS:([0-9A-F]{8,16}))");
    std::vector<std::uint64_t> addresses = {std::stoull(lines[4].substr(15), nullptr, 16)};
    int frames = 0;
    std::size_t i = 8;
    for (; i + 2 < lines.size() && lines[i].rfind("         with", 0) == 0; i += 3) {
        EXPECT_TRUE(std::regex_match(lines[i], bytes)) << lines[i];
        EXPECT_EQ(lines[i + 1], "");
        std::smatch m;
        EXPECT_TRUE(std::regex_match(lines[i + 2], m, calledFrom)) << lines[i + 2];
        addresses.push_back(std::stoull(m[1].str(), nullptr, 16));
        char number[3];
        std::snprintf(number, sizeof number, "%2d", frames);
        EXPECT_EQ(lines[i + 2].substr(4, 2), number);
        ++frames;
    }
    // With the call-frame unwind every crash is walked down to the program's entry.
    EXPECT_GE(frames, 3) << report;
    EXPECT_LE(frames, 100);
    // Every address of the report lies in a listed module.
    ASSERT_LT(i + 1, lines.size());
    EXPECT_EQ(lines[i], "");
    EXPECT_EQ(lines[++i], "*** Modules (start-end build-id path):");
    const std::regex module(R"(\*\*\* ([0-9A-F]+)-([0-9A-F]+) ([0-9A-F]{40}|-) (/.+))");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (++i; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, module)) << lines[i];
        ranges.emplace_back(std::stoull(m[1].str(), nullptr, 16),
                            std::stoull(m[2].str(), nullptr, 16));
    }
    for (std::uint64_t a : addresses)
        EXPECT_TRUE(std::any_of(ranges.begin(), ranges.end(),
                                [a](const auto& r) { return a >= r.first && a < r.second; }))
            << std::hex << a;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, FaultReport,
    testing::Values(Crash{"null", SIGSEGV, "C0000005", "ACCESS VIOLATION"},
                    Crash{"illegal", SIGILL, "C000001D", "ILLEGAL_INSTRUCTION"},
                    Crash{"float", SIGFPE, "C000008E", "FLT DIVIDE BY ZERO"},
                    Crash{"intdiv", SIGFPE, "C0000094", "(unknown)"},
                    Crash{"abort", SIGABRT, "40000015", "(unknown)"},
                    Crash{"overflow", SIGSEGV, "C00000FD", "STACK_OVERFLOW"},
                    Crash{"threadoverflow", SIGSEGV, "C00000FD", "STACK_OVERFLOW"},
                    Crash{"breakpoint", SIGTRAP, "80000003", "BREAKPOINT"}),
    [](const testing::TestParamInfo<Crash>& info) { return std::string(info.param.how); });

TEST(FaultReportEnd, DeepRecursionWalksAHundredFrames) {
    TempDir dir;
    RunProcess(CRASH_HELPER_BIN, {"overflow"}, {dir.Path().string(), {}});
    const auto lines = Lines(TempDir::Read(dir.File("Win32Fault.log")));
    EXPECT_EQ(CalledFromLines(lines), 100);
}

TEST(FaultReportEnd, SymbolizedWalkNamesTheFaultAndItsCallers) {
    TempDir dir;
    RunProcess(CRASH_HELPER_BIN, {"null"}, {dir.Path().string(), {}});
    const ProcessResult r = RunProcess(ZDX_SYMBOLIZE_BIN, {dir.File("Win32Fault.log")}, {});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_GE(lines.size(), 3u) << r.out;
    EXPECT_TRUE(std::regex_search(
        lines[0],
        std::regex(
            R"(^ pc .*zdx_crash_helper\+0x[0-9a-f]+ .*WriteThroughNull\(int\) at .*CrashHelper\.cpp:\d+$)")))
        << r.out;
    EXPECT_TRUE(
        std::regex_search(lines[1], std::regex(R"(^  0 .* main at .*CrashHelper\.cpp:\d+$)")))
        << r.out;
    EXPECT_NE(r.out.find(" _start"), std::string::npos) << r.out;
}

TEST(FaultReportEnd, IdleDesktopProgramGivesAReadableWalk) {
    TempDir dir;
    BackgroundProcess zdx(ZDX_BIN, {},
                          {dir.Path().string(),
                           {{"QT_QPA_PLATFORM", "offscreen"},
                            {"XDG_CONFIG_HOME", dir.File("cfg")},
                            {"DISPLAY", ""}}});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    WaitUntilIdle(zdx.Pid()); // in the event loop
    zdx.Stop(SIGSEGV);
    EXPECT_EQ(zdx.DiedOf(), SIGSEGV);
    const std::string report = TempDir::Read(dir.File("Win32Fault.log"));
    EXPECT_GE(CalledFromLines(Lines(report)), 5) << report;
    const ProcessResult r = RunProcess(ZDX_SYMBOLIZE_BIN, {dir.File("Win32Fault.log")}, {});
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"( main at .*main\.cpp:\d+\n)"))) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(Q(Core|Gui)?Application::exec\(\)|QEventLoop::exec)")))
        << r.out;
}

TEST(FaultReportEnd, CommandLineClientWritesTheReportToo) {
    // zdx-query waiting for a service that never answers.
    TempDir dir;
    RawServer silent([](int, const std::string&, RawServer& self) {
        while (!self.Stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    });
    const std::string ini = dir.Write(
        "q.ini", "[Settings]\nAddress=127.0.0.1\nPort=" + std::to_string(silent.Port()) + "\n");
    BackgroundProcess query(ZDX_QUERY_BIN, {"-f" + ini, "x"}, {dir.Path().string(), {}});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    query.Stop(SIGSEGV);
    EXPECT_EQ(query.DiedOf(), SIGSEGV);
    const auto lines = Lines(TempDir::Read(dir.File("Win32Fault.log")));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "*** Error code C0000005: ACCESS VIOLATION");
    EXPECT_GE(CalledFromLines(lines), 3);
}

TEST(FaultReportEnd, CrashWhileTheAllocatorIsLockedStillShowsTheBox) {
    // The helper crashes while another thread holds the allocator's lock; the box program is
    // looked up beside it, so a copy of it gets a stand-in "zdx" that notes its message.
    TempDir dir;
    std::filesystem::copy_file(CRASH_HELPER_BIN, dir.File("helper"));
    std::filesystem::permissions(dir.File("helper"), std::filesystem::perms::owner_all);
    dir.Write("zdx", "#!/bin/sh\nprintf '%s' \"$2\" > box.txt\n");
    std::filesystem::permissions(dir.File("zdx"), std::filesystem::perms::owner_all);
    const ProcessResult r =
        RunProcess(dir.File("helper"), {"malloclock"}, {dir.Path().string(), {{"DISPLAY", ":99"}}},
                   std::chrono::seconds(10));
    EXPECT_EQ(r.signal, SIGSEGV) << r.err; // not hung until the time-out
    for (int i = 0; i < 100 && !std::filesystem::exists(dir.File("box.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(TempDir::Read(dir.File("box.txt")),
              "Fatal error C0000005: ACCESS VIOLATION\n Please send win32fault.log to "
              "support@zdx.example");
}

TEST(FaultReportEnd, UnwritableFolderStillGivesTheMessageAndTheEnd) {
    const ProcessResult r = RunProcess(CRASH_HELPER_BIN, {"gone"}, {"/tmp", {}});
    EXPECT_EQ(r.signal, SIGSEGV);
    EXPECT_NE(r.err.find("Fatal error C0000005: ACCESS VIOLATION"), std::string::npos) << r.err;
}

// A made-up stack: frames of `spacing` words, each holding the next frame's address and a
// return address, then argument bytes.
class MadeUpStack {
public:
    explicit MadeUpStack(int frames, int spacing = 8) {
        for (int i = 0; i < frames; ++i) {
            m_words[i * spacing] = i + 1 < frames ? Address(i + 1, spacing) : 0;
            m_words[i * spacing + 1] = 0x401000 + i;
            for (int k = 2; k < spacing; ++k)
                m_words[i * spacing + k] = 0x0807060504030201ull * (i + 1);
        }
    }
    std::uintptr_t Address(int frame, int spacing = 8) const {
        return reinterpret_cast<std::uintptr_t>(&m_words[frame * spacing]);
    }
    std::uint64_t& Word(std::size_t i) { return m_words[i]; }
    StackBounds Bounds() const {
        return {reinterpret_cast<std::uintptr_t>(m_words),
                reinterpret_cast<std::uintptr_t>(m_words + kWords)};
    }

private:
    static constexpr std::size_t kWords = 8 * 200;
    alignas(16) std::uint64_t m_words[kWords] = {};
};

std::string Walk(std::uintptr_t frame, const StackBounds* bounds) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    WriteStackTrace(fds[1], 0x12345678, frame, bounds);
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    return text;
}

TEST(StackWalk, AtMostAHundredFrames) {
    MadeUpStack stack(150);
    const StackBounds bounds = stack.Bounds();
    const auto lines = Lines(Walk(stack.Address(0), &bounds));
    ASSERT_EQ(CalledFromLines(lines), 100);
    EXPECT_EQ(lines[1], "  Fault Occured At $ADDRESS:12345678");
    EXPECT_EQ(lines[2],
              "         with 01 02 03 04 05 06 07 08 01 02 03 04 05 06 07 08 01 02 03 04 ");
    EXPECT_EQ(lines[4], "***  0 called from $ADDRESS:00401000");
    EXPECT_EQ(lines.back(), "*** 99 called from $ADDRESS:00401063");
}

TEST(StackWalk, ZeroReturnAddressEndsTheWalk) {
    MadeUpStack stack(10);
    stack.Word(8 + 1) = 0; // frame 1 returns to 0
    const StackBounds bounds = stack.Bounds();
    const auto lines = Lines(Walk(stack.Address(0), &bounds));
    EXPECT_EQ(CalledFromLines(lines), 2);
    EXPECT_EQ(lines.back(), "***  1 called from $ADDRESS:00000000");
}

TEST(StackWalk, CloseNextFrameLimitsTheDump) {
    MadeUpStack stack(4);
    // Frame 0's caller begins 24 bytes above it: 8 argument bytes lie between.
    stack.Word(0) = stack.Address(0) + 24;
    stack.Word(3) = 0;
    stack.Word(4) = 0x401077;
    const StackBounds bounds = stack.Bounds();
    const auto lines = Lines(Walk(stack.Address(0), &bounds));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2], "         with 01 02 03 04 05 06 07 08 ");
    EXPECT_EQ(lines[7], "***  1 called from $ADDRESS:00401077");
}

TEST(StackWalk, BrokenChainsEndWithoutAFault) {
    struct Case {
        const char* what;
        std::uint64_t next;
    } cases[] = {
        {"outside the stack", 0x10},
        {"far above the stack", ~0ull - 64},
        {"below the frame", 0},
        {"misaligned", 3},
    };
    for (const auto& c : cases) {
        MadeUpStack stack(5);
        if (std::strcmp(c.what, "below the frame") == 0)
            stack.Word(8) = stack.Address(0);
        else if (std::strcmp(c.what, "misaligned") == 0)
            stack.Word(8) = stack.Address(2) + 3;
        else
            stack.Word(8) = c.next;
        const StackBounds bounds = stack.Bounds();
        EXPECT_EQ(CalledFromLines(Lines(Walk(stack.Address(0), &bounds))), 2) << c.what;
    }
    // A first frame pointer off the stack: no frames at all.
    MadeUpStack stack(5);
    const StackBounds bounds = stack.Bounds();
    EXPECT_EQ(CalledFromLines(Lines(Walk(0x1000, &bounds))), 0);
}

__attribute__((noinline)) std::string WalkFromHere() {
    return Walk(0, nullptr);
}

TEST(StackWalk, NoFramePointerStartsAtTheWalkItself) {
    const auto lines = Lines(WalkFromHere());
    ASSERT_GE(lines.size(), 7u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("         with ", 0), 0u); // no "Fault Occured At" line
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2].substr(0, 20), "***  0 called from $");
    EXPECT_EQ(lines[3].rfind("         with ", 0), 0u);
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], std::string(52, '*'));
    EXPECT_EQ(lines[6], "         Fault Occured Here:");
    EXPECT_EQ(lines[7].substr(0, 20), "***  1 called from $");
}

TEST(FaultNames, Table) {
    EXPECT_STREQ(FaultName(0xC0000005), "ACCESS VIOLATION");
    EXPECT_STREQ(FaultName(0xC000008E), "FLT DIVIDE BY ZERO");
    EXPECT_STREQ(FaultName(0xC0000094), "(unknown)");
    EXPECT_STREQ(FaultName(0x40000015), "(unknown)");
    EXPECT_EQ(FaultCodeOf(SIGBUS, BUS_ADRALN, false), 0x80000002u);
    EXPECT_EQ(FaultCodeOf(SIGTRAP, TRAP_TRACE, false), 0x80000004u);
    EXPECT_EQ(FaultCodeOf(SIGFPE, FPE_INTOVF, false), 0xC0000095u);
    EXPECT_EQ(FatalMessage(0xC0000094),
              "Fatal error C0000094: (unknown)\n Please send win32fault.log to "
              "support@zdx.example");
}

} // namespace
