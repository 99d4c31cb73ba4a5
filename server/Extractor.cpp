#include "Extractor.h"

#include "ExtractWire.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zdxserver {

namespace {

// The largest answer taken: the text limit with room for the other fields.
constexpr std::size_t kMaxAnswer = (16u << 20) + (1u << 20);

std::string SignalReason(int signal) {
    switch (signal) {
    case SIGXCPU:
        return "it took more than 10 s of processor time";
    case SIGSEGV:
    case SIGBUS:
    case SIGABRT:
    case SIGILL:
    case SIGFPE:
        return std::string("the extractor crashed on it (") + strsignal(signal) + ")";
    default:
        return std::string("the extractor ended (") + strsignal(signal) + ")";
    }
}

} // namespace

Extractor::Extractor() : m_program(FindProgram()) {}

Extractor::Extractor(std::string program, int wallSeconds)
    : m_program(std::move(program)), m_wallSeconds(wallSeconds) {}

Extractor::~Extractor() {
    Stop(false);
}

std::string Extractor::FindProgram() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const std::filesystem::path beside = self.parent_path() / "zdx-extract";
        if (access(beside.c_str(), X_OK) == 0)
            return beside;
    }
#ifdef ZDX_EXTRACT_BUILD_PATH
    return ZDX_EXTRACT_BUILD_PATH;
#else
    return "zdx-extract";
#endif
}

bool Extractor::Start() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    const std::string program = m_program;
    char* const argv[] = {const_cast<char*>(program.c_str()), nullptr};
    const pid_t pid = fork();
    if (pid < 0) {
        close(pair[0]);
        close(pair[1]);
        return false;
    }
    if (pid == 0) {
        // Only calls that are safe after fork in a threaded program, up to exec.
        if (dup2(pair[1], wire::kExtractorFd) < 0)
            _exit(127);
        // Nothing in, nothing out but the socket: the readers' libraries may print, and
        // the extractor may write no file, a log file on standard error included.
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        execv(program.c_str(), argv);
        _exit(127);
    }
    close(pair[1]);
    m_pid = pid;
    m_fd = pair[0];
    return true;
}

std::string Extractor::Stop(bool kill) {
    if (m_pid < 0)
        return {};
    if (kill)
        ::kill(m_pid, SIGKILL);
    close(m_fd); // a live extractor ends when it reads the end of the stream
    m_fd = -1;
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
    if (WIFSIGNALED(status))
        return SignalReason(WTERMSIG(status));
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        return "the extractor " + m_program + " could not be started";
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return "the extractor failed on it (exit status " + std::to_string(WEXITSTATUS(status)) +
               ")";
    return "the extractor ended without an answer";
}

Extractor::Outcome Extractor::Read(const std::string& fileName, const std::string& bytes,
                                   bool nameOnly) {
    Outcome outcome;
    if (access(m_program.c_str(), X_OK) != 0) {
        if (!m_missingSaid)
            std::fprintf(stderr,
                         "zdx-server: %s is missing; PDF, Office and mail files are indexed by "
                         "name only\n",
                         m_program.c_str());
        m_missingSaid = true;
        outcome.failure = "the extractor is missing";
        return outcome;
    }
    if (m_pid < 0 && !Start()) {
        outcome.failure = std::string("the extractor could not be started: ") + strerror(errno);
        return outcome;
    }
    std::string request;
    wire::Put(request, nameOnly ? "name" : "extract");
    wire::Put(request, fileName);
    wire::Put(request, bytes);
    const std::int64_t deadline = wire::NowMs() + m_wallSeconds * 1000LL;
    std::optional<std::string> answer;
    if (wire::Send(m_fd, request, deadline))
        answer = wire::Receive(m_fd, kMaxAnswer, deadline);
    const auto fields = answer ? wire::Split(*answer) : std::nullopt;
    if (!fields || fields->size() != 7) {
        // Dead, hung or talking nonsense: ended, and started again for the next file.
        const bool late = wire::NowMs() >= deadline;
        outcome.failure = Stop(true);
        if (late)
            outcome.failure = "it took longer than " + std::to_string(m_wallSeconds) + " s";
        return outcome;
    }
    const std::vector<std::string>& f = *fields;
    if (f[0] != "ok") {
        outcome.failure = f[6];
        return outcome;
    }
    outcome.read = true;
    outcome.text.format = f[1];
    outcome.text.title = f[2];
    outcome.text.author = f[3];
    outcome.text.body = f[4];
    outcome.text.date = std::strtoll(f[5].c_str(), nullptr, 10);
    outcome.text.textual = !nameOnly && !outcome.text.body.empty();
    return outcome;
}

} // namespace zdxserver
