// zdx-query against a 100,000-hit page served on 127.0.0.1, next to a minimal libcurl splitter
// fetching the same page in the same run: wall time and peak memory of each, median of 5 runs.
#include "ResultPageGenerator.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Measure {
    double seconds = 0;
    long peakKiB = 0;
};

// Runs the program with its output thrown away; wall time and peak resident memory. A child's
// peak counts the memory it shared with its parent before exec, so programs are started by a
// launcher forked while this process was still small.
Measure RunOnce(const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "%s failed (status %d)\n", args[0].c_str(), status);
    return m;
}

// The launcher: reads NUL-separated arguments ending in an empty one, answers with a Measure.
struct Launcher {
    int toLauncher = -1, fromLauncher = -1;

    void Start() {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            std::exit(1);
        if (fork() == 0) {
            close(in[1]);
            close(out[0]);
            std::string buffer;
            char c;
            std::vector<std::string> args;
            while (read(in[0], &c, 1) == 1) {
                if (c != '\0') {
                    buffer += c;
                } else if (!buffer.empty()) {
                    args.push_back(buffer);
                    buffer.clear();
                } else {
                    const Measure m = RunOnce(args);
                    args.clear();
                    if (write(out[1], &m, sizeof m) != sizeof m)
                        _exit(1);
                }
            }
            _exit(0);
        }
        close(in[0]);
        close(out[1]);
        toLauncher = in[1];
        fromLauncher = out[0];
    }

    Measure Run(const std::vector<std::string>& args) const {
        std::string message;
        for (const std::string& a : args)
            message.append(a).push_back('\0');
        message.push_back('\0');
        Measure m;
        if (write(toLauncher, message.data(), message.size()) !=
                static_cast<ssize_t>(message.size()) ||
            read(fromLauncher, &m, sizeof m) != sizeof m)
            std::exit(1);
        return m;
    }
};

Launcher g_launcher;

Measure Median(const std::vector<std::string>& args) {
    std::vector<Measure> runs;
    for (int i = 0; i < 5; ++i)
        runs.push_back(g_launcher.Run(args));
    auto byTime = runs;
    std::sort(byTime.begin(), byTime.end(),
              [](const Measure& a, const Measure& b) { return a.seconds < b.seconds; });
    auto byMemory = runs;
    std::sort(byMemory.begin(), byMemory.end(),
              [](const Measure& a, const Measure& b) { return a.peakKiB < b.peakKiB; });
    return {byTime[2].seconds, byMemory[2].peakKiB};
}

} // namespace

int main() {
    g_launcher.Start();
    const std::string page = GenerateResultPage(100000);
    httplib::Server server;
    server.Get("/s", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(page, "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    while (!server.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));

    const std::filesystem::path ini =
        std::filesystem::temp_directory_path() / "zdx-query-bench.ini";
    std::ofstream(ini) << "[Settings]\nAddress=127.0.0.1\nPort=" << port << "\nSearchbase=s?x=1\n";

    std::printf("page: 100,000 hits, %.1f MB\n", page.size() / 1e6);
    const Measure baseline =
        Median({ZDX_SPLITTER_BIN, "http://127.0.0.1:" + std::to_string(port) + "/s?x=1"});
    const Measure query = Median({ZDX_QUERY_BIN, "-f" + ini.string(), "annual"});
    std::printf("%-22s %10s %14s\n", "", "wall time", "peak memory");
    std::printf("%-22s %8.3f s %11.1f MB\n", "libcurl splitter", baseline.seconds,
                baseline.peakKiB / 1024.0);
    std::printf("%-22s %8.3f s %11.1f MB\n", "zdx-query", query.seconds, query.peakKiB / 1024.0);
    std::printf("zdx-query / splitter: %.2fx time\n", query.seconds / baseline.seconds);

    std::filesystem::remove(ini);
    server.stop();
    thread.join();
    return 0;
}
