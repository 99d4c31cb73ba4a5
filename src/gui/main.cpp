#include "diag/FaultReport.h"
#include "gui/MainWindow.h"
#include "text/Version.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kHelp =
    "Usage: zdx [-f<path>] [-l] [DOCUMENT]\n"
    "The ZDX desktop client for a full-text search service.\n"
    "\n"
    "  -f<path>    read the settings from this settings file instead of the profile store\n"
    "  -l          append an activity log to zdx.log in the current directory\n"
    "  DOCUMENT    a file to open as the document\n"
    "  --help      display this help and exit\n"
    "  --version   output version information and exit\n"
    "\n"
    "Qt's own options (-platform NAME, -style NAME, ...) are taken as well.\n";

} // namespace

int main(int argc, char** argv) {
    // Answered before any window system is needed.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zdx (ZDX) %s\n", kVersionNumber);
        return 0;
    }
    // A crashed zdx or zdx-query starts zdx like this to show its fatal message in a box.
    if (argc == 3 && std::strcmp(argv[1], "--fault-message") == 0) {
        QApplication app(argc, argv);
        QMessageBox box(QMessageBox::Critical, QStringLiteral("ZDX"), QString::fromUtf8(argv[2]));
        box.setTextFormat(Qt::PlainText);
        box.exec();
        return 0;
    }
    InstallFaultFilter();
    QApplication app(argc, argv);
    // QApplication has taken its own options out of argv; the rest are the program's.
    Application start;
    for (int i = 1; i < argc; ++i)
        start.m_cmdLine.emplace_back(argv[i]);
    if (!StartWindow(start))
        return 1;
    return app.exec();
}
