#pragma once
// Running the programs the way a user does: a child process with its own current folder and
// environment.
#include "../core/TempDir.h"

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <sys/wait.h>
#include <vector>

// The lines of a text, without their line feeds.
std::vector<std::string> Lines(const std::string& text);

struct ProcessResult {
    int exitCode = -1; // -1 when the process died of a signal
    int signal = 0;
    std::string out, err;
};

struct ProcessOptions {
    ProcessOptions(std::string cwd_ = {}, std::map<std::string, std::string> env_ = {},
                   std::string input_ = {})
        : cwd(std::move(cwd_)), env(std::move(env_)), input(std::move(input_)) {}
    std::string cwd;
    std::map<std::string, std::string> env; // set on top of this process's environment
    std::string input;                      // standard input
};

// Runs the program to its end (killing it after `timeout`) and collects its output.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Starts the program, polls `done` until it holds or the program ends, then stops the program
// with SIGTERM. Returns whether `done` held before the time-out.
bool RunUntil(const std::string& program, const std::vector<std::string>& args,
              const ProcessOptions& options, const std::function<bool()>& done,
              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A program running in the background while a test talks to it; stopped (SIGTERM, then SIGKILL)
// when the object goes.
class BackgroundProcess {
public:
    BackgroundProcess(const std::string& program, const std::vector<std::string>& args,
                      const ProcessOptions& options = {});
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    std::string Out() const { return TempDir::Read(m_dir.File("out")); }
    std::string Err() const { return TempDir::Read(m_dir.File("err")); }
    int Pid() const { return m_pid; }
    // Polls standard output until it holds `text`; false after the time-out or an early exit.
    bool WaitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Stops the program with `signal` (SIGKILL after 5 s) and returns its exit status (-1 when
    // it died of a signal).
    int Stop(int signal = SIGTERM);
    // The signal the program died of, 0 when it exited.
    int DiedOf() const { return m_done && WIFSIGNALED(m_status) ? WTERMSIG(m_status) : 0; }

private:
    TempDir m_dir;
    int m_pid = -1;
    int m_status = 0;
    bool m_done = false;
};
