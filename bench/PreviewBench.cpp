// The preview's speed: from a selection to the first paint of a 1 MB text that comes from the
// service on 127.0.0.1 (links as URLs, so the text route serves it), its matched words marked.
// Prints the median and the 95th percentile of 20, and the window's peak memory.
#include "config/Settings.h"
#include "gui/PreviewPane.h"

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const fs::path dir = fs::temp_directory_path() / ("zdx-preview-" + std::to_string(getpid()));
    fs::create_directories(dir / "docs");
    // Two texts of 1 MB, every 40th word the one searched for; with --one-line, without a line
    // break.
    const bool oneLine = argc > 1 && std::string(argv[1]) == "--one-line";
    for (int d = 0; d < 2; ++d) {
        std::ofstream out(dir / "docs" / ("text" + std::to_string(d) + ".txt"));
        std::string text;
        for (int w = 0; text.size() < (1u << 20) - 16; ++w)
            text += (w % 40 == 0 ? "budget" : "word" + std::to_string(w % 997)) +
                    (w % 15 == 14 ? (oneLine ? ". " : ".\n") : " ");
        out << text;
    }
    const fs::path outFile = dir / "server.out";
    const pid_t server = fork();
    if (server == 0) {
        freopen(outFile.c_str(), "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(ZDX_SERVER_BIN, ZDX_SERVER_BIN, "--listen", "127.0.0.1:0", "--index",
              ("docs=" + (dir / "docs").string()).c_str(), "--db", (dir / "db").c_str(), "--links",
              "url", "--no-watch", static_cast<char*>(nullptr));
        _exit(127);
    }
    int port = 0;
    for (int i = 0; i < 3000 && port == 0; ++i) {
        std::ifstream in(outFile);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, std::regex(R"(127\.0\.0\.1:(\d+)/)")))
            port = std::stoi(m[1]);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Settings settings = DefaultSettings(true);
    settings.connection.address = "127.0.0.1";
    settings.connection.port = port;
    PreviewPane pane;
    pane.resize(600, 800);
    pane.show();
    std::vector<double> ms;
    for (int i = 0; i < 21; ++i) {
        const std::string link = "http://127.0.0.1:" + std::to_string(port) +
                                 "/zdx-files/docs/text" + std::to_string(i % 2) + ".txt";
        const auto start = std::chrono::steady_clock::now();
        QEventLoop wait;
        QObject::connect(&pane, &PreviewPane::loaded, &wait, &QEventLoop::quit);
        pane.ShowHit(link, std::getenv("Q") ? std::getenv("Q") : "budgets", "", settings);
        wait.exec();
        pane.TextView()->viewport()->repaint(); // the first paint
        const double elapsed =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (i > 0) // the first warms the service's page cache
            ms.push_back(elapsed);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("preview of a 1 MB text from the service, %d marks: median %.1f ms, 95th "
                "percentile %.1f ms (%zu selections); peak memory %.1f MB\n",
                pane.MatchCount(), ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.size(),
                PeakKiB() / 1024.0);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    fs::remove_all(dir);
    return 0;
}
