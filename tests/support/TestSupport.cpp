#include "TestSupport.h"

#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const ProcessOptions& options, int outFd, int errFd, int inFd = -1) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0)
        _exit(126);
    for (const auto& [name, value] : options.env)
        setenv(name.c_str(), value.c_str(), 1);
    dup2(inFd >= 0 ? inFd : open("/dev/null", O_RDONLY), 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

void Decode(int status, ProcessResult& result) {
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
}

} // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options, std::chrono::milliseconds timeout) {
    TempDir capture;
    const std::string outPath = capture.File("out"), errPath = capture.File("err");
    const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int inFd = open(capture.Write("in", options.input).c_str(), O_RDONLY);
    const pid_t pid = Spawn(program, args, options, outFd, errFd, inFd);
    close(outFd);
    close(errFd);
    close(inFd);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (reaped == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ProcessResult result;
    Decode(status, result);
    result.out = TempDir::Read(outPath);
    result.err = TempDir::Read(errPath);
    return result;
}

bool RunUntil(const std::string& program, const std::vector<std::string>& args,
              const ProcessOptions& options, const std::function<bool()>& done,
              std::chrono::milliseconds timeout) {
    const int devNull = open("/dev/null", O_WRONLY);
    const pid_t pid = Spawn(program, args, options, devNull, devNull);
    close(devNull);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool held = false;
    bool exited = false;
    int status = 0;
    while (!(held = done()) && !exited && std::chrono::steady_clock::now() < deadline) {
        exited = waitpid(pid, &status, WNOHANG) == pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!exited) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
    }
    return held || done();
}

BackgroundProcess::BackgroundProcess(const std::string& program,
                                     const std::vector<std::string>& args,
                                     const ProcessOptions& options) {
    const int outFd = open(m_dir.File("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = open(m_dir.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int inFd = open(m_dir.Write("in", options.input).c_str(), O_RDONLY);
    m_pid = Spawn(program, args, options, outFd, errFd, inFd);
    close(outFd);
    close(errFd);
    close(inFd);
}

BackgroundProcess::~BackgroundProcess() {
    Stop();
}

bool BackgroundProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (Out().find(text) != std::string::npos)
            return true;
        if (!m_done && waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_done = true;
        if (m_done)
            return Out().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

int BackgroundProcess::Stop(int signal) {
    if (!m_done && m_pid > 0) {
        kill(m_pid, signal);
        for (int i = 0; i < 250 && waitpid(m_pid, &m_status, WNOHANG) != m_pid; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (waitpid(m_pid, &m_status, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
        }
        m_done = true;
    }
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}
