// Parses a generated result page of 100,000 hits into the result list and sorts it, printing
// the time each step takes and the memory a row costs.
#include "ResultPageGenerator.h"
#include "config/Application.h"
#include "config/SettingsFile.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"

#include <QApplication>
#include <chrono>
#include <cstdio>
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

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    g_app.SetColumnDefaults();
    SettingsFile none = SettingsFile::FromBytes("");
    g_app.ReadSettings(none, false);

    constexpr int kHits = 100000;
    const std::string page = GenerateResultPage(kHits);
    std::printf("page: %d hits, %.1f MB\n", kHits, page.size() / 1e6);

    ResultView view;
    view.OnInitialUpdate();
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
