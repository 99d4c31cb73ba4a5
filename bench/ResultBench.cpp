// Parses a generated result page of 100,000 hits into the result list and sorts it, printing
// the time each step takes and the memory a row costs.
#include "ResultPageGenerator.h"
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <string>

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

} // namespace

long PeakKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// A page at the client's 256 MiB cap made of the shortest hit lines: the window's peak memory.
int CapPage() {
    ResultView view;
    view.SetUp(DefaultSettings(false));
    const long before = PeakKiB();
    constexpr std::size_t kCap = 256u << 20;
    std::string line;
    std::size_t bytes = 0;
    int hits = 0;
    const auto start = std::chrono::steady_clock::now();
    while (bytes < kCap) {
        line = std::to_string(++hits) + "|t";
        bytes += line.size() + 1;
        view.ParseResultLine(line);
    }
    view.Model()->FlushPendingRows();
    std::printf("256 MiB page of %d minimal hit lines: %.1f s, %d rows kept, %zu left out, "
                "peak memory %.0f MB above the idle list\n",
                hits, Seconds(start), view.Model()->rowCount(), view.Model()->DroppedRows(),
                (PeakKiB() - before) / 1024.0);
    return 0;
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--cap-page")
        return CapPage();

    constexpr int kHits = 100000;
    const std::string page = GenerateResultPage(kHits);
    std::printf("page: %d hits, %.1f MB\n", kHits, page.size() / 1e6);

    ResultView view;
    view.SetUp(DefaultSettings(false));
    const std::size_t heapBefore = HeapInUse();
    const auto start = std::chrono::steady_clock::now();
    std::size_t pos = 0;
    while (pos < page.size()) {
        std::size_t end = page.find('\n', pos);
        if (end == std::string::npos)
            end = page.size();
        if (end > pos && !view.ParseResultLine(std::string_view(page).substr(pos, end - pos)))
            break;
        pos = end + 1;
    }
    view.Model()->FlushPendingRows();
    const double parseSeconds = Seconds(start);
    const std::size_t heapAfter = HeapInUse();
    std::printf("parse into the model: %.3f s (%d rows)\n", parseSeconds, view.Model()->rowCount());
    std::printf("memory per row (cells, item datum, tip): %.0f bytes\n",
                static_cast<double>(heapAfter - heapBefore) / kHits);

    // Files found gone, as the checker reports the 300 rows on the screen.
    const auto markStart = std::chrono::steady_clock::now();
    for (int row = 0; row < 300; ++row)
        view.Model()->MarkMissing(view.LinkOfRow(row));
    std::printf("mark the files of 300 rows gone in a list of %d rows: %.2f ms\n", kHits,
                Seconds(markStart) * 1000);

    // Refining: a keystroke at a time, as a user types "report budget".
    double slowest = 0;
    const std::string typed = "report budget";
    for (std::size_t n = 1; n <= typed.size(); ++n) {
        const auto filterStart = std::chrono::steady_clock::now();
        view.Model()->SetFilter(typed.substr(0, n));
        slowest = std::max(slowest, Seconds(filterStart));
    }
    std::printf("refine %d rows, one keystroke at a time: slowest keystroke %.1f ms (%d shown)\n",
                kHits, slowest * 1000, view.Model()->rowCount());
    view.Model()->SetFilter("");

    const struct {
        const char* what;
        int column;
    } sorts[] = {{"words (Title)", 0}, {"numbers (Rel %)", 1}, {"words (Link)", 6}};
    for (const auto& s : sorts) {
        const auto sortStart = std::chrono::steady_clock::now();
        view.OnColumnClick(s.column);
        std::printf("sort %d rows by %s: %.3f s\n", view.Model()->rowCount(), s.what,
                    Seconds(sortStart));
    }
    return 0;
}
