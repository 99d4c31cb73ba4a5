// The window while a 100,000-hit page arrives from a service on 127.0.0.1: time from the
// page's first bytes to the first rows in the list, the longest time the event loop does not
// run during the load, and the memory the loaded list takes. Run it on a display (Xvfb) or
// with QT_QPA_PLATFORM=offscreen.
#include "ResultPageGenerator.h"
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "diag/ActivityLog.h"
#include "gui/MainWindow.h"
#include "gui/RequestRunner.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"

#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QWindow>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long StatusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stol(line.substr(std::strlen(field)));
    return 0;
}

long RssKiB() {
    return StatusKiB("VmRSS:");
}

// 32 MiB of the shortest hit lines ("n|t"), four million of them: the list keeps a million.
std::string MinimalPage() {
    std::string page = "0|4000000\n";
    for (int i = 1; page.size() < (32u << 20); ++i)
        page += std::to_string(i) + "|t\n";
    return page;
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

// Shows the window and waits until it is on the screen; the time it took.
template <class Window> double ShowMs(Window& window) {
    const auto start = Clock::now();
    window.show();
    while (!window.windowHandle() || !window.windowHandle()->isExposed())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return Ms(Clock::now() - start);
}

// A bare main window with a menu, a toolbar, a list and a status bar: the start-up to beat.
double BareWindowMs() {
    const auto start = Clock::now();
    QMainWindow bare;
    bare.menuBar()->addMenu(QStringLiteral("File"))->addAction(QStringLiteral("Exit"));
    bare.addToolBar(QStringLiteral("Tools"))->addAction(QStringLiteral("New"));
    bare.setCentralWidget(new QTreeView);
    bare.statusBar()->showMessage(QStringLiteral("Ready"));
    bare.resize(1000, 650);
    ShowMs(bare);
    return Ms(Clock::now() - start);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // --bare / --window: start, show that window, and end once it is on the screen; the
    // process-level comparison times these from outside (bench/README.md).
    if (argc > 1 && std::string(argv[1]) == "--bare")
        return BareWindowMs() > 0 ? 0 : 1;
    if (argc > 1 && std::string(argv[1]) == "--window") {
        MainWindow window;
        window.SetUpViews();
        window.resize(1000, 650);
        ShowMs(window);
        return 0;
    }
    BareWindowMs(); // the first window pays for the platform's start
    const double bareMs = BareWindowMs();
    // --minimal-page: the window's peak memory for a page of many short lines.
    const bool minimal = argc > 1 && std::string(argv[1]) == "--minimal-page";
    const std::string page = minimal ? MinimalPage() : GenerateResultPage(100000);
    std::atomic<long long> firstBytes{0};
    httplib::Server server;
    server.Get("/s", [&](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "text/plain", [&](std::size_t offset, httplib::DataSink& sink) {
                if (offset == 0)
                    firstBytes = Clock::now().time_since_epoch().count();
                const std::size_t chunk = std::min<std::size_t>(256 * 1024, page.size() - offset);
                sink.write(page.data() + offset, chunk);
                if (offset + chunk >= page.size())
                    sink.done();
                return true;
            });
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread listener([&] { server.listen_after_bind(); });

    SettingsFile settings = SettingsFile::FromBytes(
        "[Settings]\nAddress=127.0.0.1\nPort=" + std::to_string(port) + "\nSearchbase=s?x=1\n");
    const auto windowStart = Clock::now();
    MainWindow window(LoadSettings(settings, false, Logger()));
    window.SetUpViews();
    window.resize(1000, 650);
    ShowMs(window);
    const double windowMs = Ms(Clock::now() - windowStart);
    std::printf("start-up to the window on the screen: %.1f ms, a bare main window %.1f ms "
                "(%.2fx)\n",
                windowMs, bareMs, windowMs / bareMs);
    for (int i = 0; i < 20; ++i)
        app.processEvents();
    const long idleKiB = RssKiB();

    // The event loop's pulse: the longest gap between two 5 ms ticks is the longest time the
    // window would not have answered input.
    Clock::time_point lastTick = Clock::now();
    Clock::duration longest{};
    QTimer pulse;
    pulse.setInterval(5);
    QObject::connect(&pulse, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        longest = std::max(longest, now - lastTick);
        lastTick = now;
    });
    ResultModel* model = window.ResultPane()->Model();
    Clock::time_point firstRows{};
    QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] {
        if (firstRows == Clock::time_point{})
            firstRows = Clock::now();
    });
    window.findChild<QLineEdit*>(QStringLiteral("queryEdit"))->setText(QStringLiteral("report"));
    const auto start = Clock::now();
    pulse.start();
    lastTick = Clock::now();
    window.findChild<QPushButton*>(QStringLiteral("searchButton"))->click();
    while (window.Requests()->Busy())
        app.processEvents(QEventLoop::WaitForMoreEvents, 5);
    pulse.stop();
    const auto loaded = Clock::now();
    const Clock::time_point bytes{Clock::duration(firstBytes.load())};
    std::printf("%s (%.1f MB): loaded in %.0f ms; first rows %.0f ms after the first "
                "page bytes; longest stall of the event loop %.0f ms; memory %.1f MB above the "
                "idle window (%d rows)\n",
                minimal ? "4 million minimal hit lines" : "100,000 hits", page.size() / 1e6,
                Ms(loaded - start), Ms(firstRows - bytes), Ms(longest),
                (RssKiB() - idleKiB) / 1024.0, model->rowCount());
    if (minimal)
        std::printf("peak memory %.1f MB above the idle window\n",
                    (StatusKiB("VmHWM:") - idleKiB) / 1024.0);
    server.stop();
    listener.join();
    return 0;
}
