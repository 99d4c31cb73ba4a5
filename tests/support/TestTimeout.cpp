// A time-out for each test of the executable it is linked into: a test that hangs (a transfer
// that is never cancelled, a server that never answers) fails after 30 s with its name, instead
// of holding the whole run until CTest gives up on it.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

constexpr unsigned kSecondsPerTest = 30;
char g_running[512] = "";

void TimedOut(int) {
    static const char head[] = "\nTest timed out after 30 s: ";
    [[maybe_unused]] ssize_t n = write(2, head, sizeof head - 1);
    n = write(2, g_running, strlen(g_running));
    n = write(2, "\n", 1);
    _exit(1);
}

class Watchdog : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo& test) override {
        snprintf(g_running, sizeof g_running, "%s.%s", test.test_suite_name(), test.name());
        signal(SIGALRM, TimedOut);
        alarm(kSecondsPerTest);
    }
    void OnTestEnd(const testing::TestInfo&) override { alarm(0); }
};

const bool g_installed = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new Watchdog);
    return true;
}();

} // namespace
