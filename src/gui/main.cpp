#include "config/Application.h"
#include "diag/FaultReport.h"

#include <QApplication>
#include <QMessageBox>
#include <cstring>

int main(int argc, char** argv) {
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
    for (int i = 1; i < argc; ++i)
        g_app.m_cmdLine.emplace_back(argv[i]);
    if (!g_app.StartWindow())
        return 1;
    return app.exec();
}
