#include "app/ZDXApp.h"
#include "diag/FaultReport.h"

#include <QApplication>

int main(int argc, char** argv) {
    InstallFaultFilter();
    QApplication app(argc, argv);
    // QApplication has taken its own options out of argv; the rest are the program's.
    for (int i = 1; i < argc; ++i)
        theApp.m_cmdLine.emplace_back(argv[i]);
    if (!theApp.InitInstance())
        return 1;
    return app.exec();
}
