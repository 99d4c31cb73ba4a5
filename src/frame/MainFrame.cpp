#include "frame/MainFrame.h"

#include "frame/KeyIndicators.h"
#include "res/StringTable.h"
#include "results/ZDXView.h"
#include "search/LeftView.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <algorithm>

namespace {

QString Res(unsigned id) {
    return QString::fromStdString(LoadResString(id));
}

constexpr unsigned kIndicatorIds[CMainFrame::kPaneCount] = {AFX_IDS_IDLEMESSAGE, ID_INDICATOR_CAPS,
                                                            ID_INDICATOR_NUM,    ID_INDICATOR_SCRL,
                                                            ID_INDICATOR_AUTH,   ID_INDICATOR_HITS};
constexpr int kInfoPaneWidth = 100;

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("mainFrame"));
    // The caption is always the application title; no document name is ever part of it.
    setWindowTitle(Res(AFX_IDS_APP_TITLE));

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    m_splitter->setChildrenCollapsible(false);
    m_leftView = new CLeftView(m_splitter);
    m_resultView = new CZDXView(m_splitter);
    m_splitter->addWidget(m_leftView);
    m_splitter->addWidget(m_resultView);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({200, 300});
    setCentralWidget(m_splitter);
    theApp.m_pResultView = m_resultView;

    CreateStatusBar();
    theApp.m_pStatusPanes = this;
    qApp->installEventFilter(this);
}

CMainFrame::~CMainFrame() {
    if (theApp.m_pStatusPanes == this)
        theApp.m_pStatusPanes = nullptr;
}

void CMainFrame::OnInitialUpdate() {
    m_leftView->OnInitialUpdate();
    m_resultView->OnInitialUpdate();
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("statusBar"));
    bar->setSizeGripEnabled(true);
    for (int i = 0; i < kPaneCount; ++i) {
        auto* pane = new QLabel(Res(kIndicatorIds[i]), bar);
        pane->setObjectName(QStringLiteral("pane%1").arg(i));
        pane->setTextFormat(Qt::PlainText);
        m_panes[i] = pane;
        if (i == 0) {
            bar->addWidget(pane, 1);
            continue;
        }
        pane->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        pane->setContentsMargins(2, 0, 2, 0);
        if (i == 4) // grows with a long user name
            pane->setMinimumWidth(kInfoPaneWidth);
        else if (i == 5) // 100 pixels, or what a large count needs in this font
            pane->setFixedWidth(
                std::max(kInfoPaneWidth,
                         pane->fontMetrics().horizontalAdvance(QString::fromStdString(
                             StringPrintf(LoadResString(IDS_DOCUMENTS_FOUND).c_str(), 9999999))) +
                             8));
        else
            pane->setFixedWidth(pane->sizeHint().width());
        bar->addPermanentWidget(pane);
    }
    UpdateKeyIndicators();
}

void CMainFrame::UpdateKeyIndicators() {
    const KeyIndicators keys = ReadKeyIndicators();
    const bool on[] = {keys.caps, keys.num, keys.scroll};
    for (int i = 0; i < 3; ++i)
        m_panes[1 + i]->setText(keys.known && on[i] ? Res(kIndicatorIds[1 + i]) : QString());
}

void CMainFrame::SetStatusText(const std::string& text) {
    m_panes[0]->setText(QString::fromStdString(text));
    m_panes[0]->repaint();
}

void CMainFrame::SetAuthText(const std::string& text) {
    m_panes[4]->setText(QString::fromStdString(text));
    m_panes[4]->repaint();
}

void CMainFrame::SetHitCount(int count) {
    m_panes[5]->setText(
        QString::fromStdString(StringPrintf(LoadResString(IDS_DOCUMENTS_FOUND).c_str(), count)));
    m_panes[5]->repaint();
}

bool CMainFrame::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        // Menu and toolbar prompts go to pane 0; an empty prompt brings back the idle text.
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        SetStatusText((tip.isEmpty() ? Res(AFX_IDS_IDLEMESSAGE) : tip).toStdString());
        return true;
    }
    return QMainWindow::event(event);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
        UpdateKeyIndicators();
    return QMainWindow::eventFilter(watched, event);
}
