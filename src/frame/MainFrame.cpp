#include "frame/MainFrame.h"

#include "app/ZDXApp.h"
#include "res/StringTable.h"

#include <QSplitter>

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("mainFrame"));
    // The caption is always the application title; no document name is ever part of it.
    setWindowTitle(QString::fromStdString(LoadResString(AFX_IDS_APP_TITLE)));
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    m_splitter->setChildrenCollapsible(false);
    setCentralWidget(m_splitter);
}

CMainFrame::~CMainFrame() = default;
