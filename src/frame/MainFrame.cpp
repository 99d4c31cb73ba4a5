#include "frame/MainFrame.h"

#include "app/AboutDlg.h"
#include "app/ProfileStore.h"
#include "app/SettingsDlg.h"
#include "frame/KeyIndicators.h"
#include "frame/LoginDlg.h"
#include "frame/LoginRequest.h"
#include "frame/MessageBox.h"
#include "res/Images.h"
#include "res/StringTable.h"
#include "results/ZDXView.h"
#include "search/LeftView.h"

#include <QAbstractItemView>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QToolBar>
#include <algorithm>

namespace {

QString Res(unsigned id) {
    return QString::fromStdString(LoadResString(id));
}

constexpr unsigned kIndicatorIds[CMainFrame::kPaneCount] = {AFX_IDS_IDLEMESSAGE, ID_INDICATOR_CAPS,
                                                            ID_INDICATOR_NUM,    ID_INDICATOR_SCRL,
                                                            ID_INDICATOR_AUTH,   ID_INDICATOR_HITS};
constexpr int kInfoPaneWidth = 100;
constexpr const char* kPlacementSection = "MainWindow";

const std::pair<unsigned, ListStyle> kListStyles[] = {
    {ID_VIEW_LARGEICON, ListStyle::LargeIcons},
    {ID_VIEW_SMALLICON, ListStyle::SmallIcons},
    {ID_VIEW_LIST, ListStyle::List},
    {ID_VIEW_DETAILS, ListStyle::Details},
};

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("mainFrame"));
    // The caption is always the application title; no document name is ever part of it.
    setWindowTitle(Res(AFX_IDS_APP_TITLE));
    setWindowIcon(AppIcon());

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    m_splitter->setChildrenCollapsible(false);
    m_leftView = new CLeftView(m_splitter);
    m_resultView = new CZDXView(m_splitter);
    m_splitter->addWidget(m_leftView);
    m_splitter->addWidget(m_resultView);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    setCentralWidget(m_splitter);
    theApp.m_pResultView = m_resultView;

    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    RestoreWindowPlacement();
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

QAction* CMainFrame::Action(unsigned id) const {
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

// An action for a command: the menu text (a tab separates the shortcut shown at its right),
// the prompt shown in pane 0 and the tool tip, both from the command's string.
QAction* CMainFrame::AddCommand(unsigned id, const QString& menuText, const char* icon) {
    const QStringList parts = menuText.split(QLatin1Char('\t'));
    auto* action = new QAction(parts[0], this);
    action->setObjectName(QStringLiteral("command%1").arg(id));
    action->setData(id);
    if (parts.size() > 1)
        action->setShortcut(QKeySequence(parts[1]));
    const QStringList texts = Res(id).split(QLatin1Char('\n'));
    action->setStatusTip(texts.value(0));
    if (texts.size() > 1)
        action->setToolTip(texts[1]);
    if (icon)
        action->setIcon(ToolbarIcon(icon));
    // Commands without a handler stay greyed.
    action->setEnabled(false);
    m_actions[id] = action;
    return action;
}

void CMainFrame::CreateMenus() {
    auto enable = [](QAction* action, auto handler) {
        action->setEnabled(true);
        QObject::connect(action, &QAction::triggered, handler);
    };
    QAction* newDoc = AddCommand(ID_FILE_NEW, tr("&New\tCtrl+N"), "new");
    enable(newDoc, [this] { OnFileNew(); });
    enable(AddCommand(ID_FILE_OPEN, tr("&Open...\tCtrl+O"), "open"), [this] { OnFileOpen(); });
    enable(AddCommand(ID_FILE_SAVE, tr("&Save\tCtrl+S"), "save"), [this] { OnFileSave(); });
    enable(AddCommand(ID_FILE_SAVE_AS, tr("Save &As...")), [this] { OnFileSaveAs(); });
    m_recentPlaceholder = AddCommand(ID_FILE_MRU_FILE1, tr("Recent File"));
    enable(AddCommand(ID_LOGIN_CMD, tr("Log in"), "login"), [this] { OnLogIn(); });
    enable(AddCommand(ID_LOGOUT_CMD, tr("Log out"), "logout"), [this] { OnLogOut(); });
    enable(AddCommand(ID_SETTINGS_CMD, tr("Settings")), [this] { OnSettings(); });
    enable(AddCommand(ID_APP_EXIT, tr("E&xit")), [this] { close(); });

    AddCommand(ID_EDIT_UNDO, tr("&Undo\tCtrl+Z"))
        ->setShortcuts({QKeySequence(tr("Ctrl+Z")), QKeySequence(tr("Alt+Backspace"))});
    AddCommand(ID_EDIT_CUT, tr("Cu&t\tCtrl+X"), "cut")
        ->setShortcuts({QKeySequence(tr("Ctrl+X")), QKeySequence(tr("Shift+Del"))});
    AddCommand(ID_EDIT_COPY, tr("&Copy\tCtrl+C"), "copy")
        ->setShortcuts({QKeySequence(tr("Ctrl+C")), QKeySequence(tr("Ctrl+Ins"))});
    AddCommand(ID_EDIT_PASTE, tr("&Paste\tCtrl+V"), "paste")
        ->setShortcuts({QKeySequence(tr("Ctrl+V")), QKeySequence(tr("Shift+Ins"))});
    AddCommand(ID_FILE_PRINT, tr("&Print..."), "print");

    QAction* toolbar = AddCommand(ID_VIEW_TOOLBAR, tr("&Toolbar"));
    toolbar->setCheckable(true);
    toolbar->setChecked(true);
    toolbar->setEnabled(true);
    QAction* statusBarToggle = AddCommand(ID_VIEW_STATUS_BAR, tr("&Status Bar"));
    statusBarToggle->setCheckable(true);
    statusBarToggle->setChecked(true);
    statusBarToggle->setEnabled(true);
    connect(statusBarToggle, &QAction::toggled, this,
            [this](bool on) { statusBar()->setVisible(on); });
    enable(AddCommand(ID_APP_ABOUT, tr("&About ZDX..."), "about"), [] { theApp.OnAppAbout(); });

    auto* styles = new QActionGroup(this);
    const std::pair<unsigned, const char*> styleIcons[] = {{ID_VIEW_LARGEICON, "largeicons"},
                                                           {ID_VIEW_SMALLICON, "smallicons"},
                                                           {ID_VIEW_LIST, "list"},
                                                           {ID_VIEW_DETAILS, "details"}};
    for (const auto& [id, icon] : styleIcons) {
        QAction* action = AddCommand(id, Res(id).section(QLatin1Char('\n'), 1), icon);
        action->setCheckable(true);
        styles->addAction(action);
        const unsigned command = id;
        enable(action, [this, command] { OnListStyle(command); });
    }
    enable(AddCommand(ID_VIEW_LINEUP, tr("Line up Icons")),
           [this] { OnListStyle(ID_VIEW_LINEUP); });
    enable(AddCommand(ID_VIEW_BYNAME, tr("By Name")), [this] { OnListStyle(ID_VIEW_BYNAME); });

    // F6 and Shift+F6 move the focus between the two panes.
    for (unsigned id : {ID_NEXT_PANE, ID_PREV_PANE}) {
        QAction* pane = AddCommand(id, id == ID_NEXT_PANE ? tr("Next Pane\tF6")
                                                          : tr("Previous Pane\tShift+F6"));
        pane->setShortcutContext(Qt::WindowShortcut);
        enable(pane, [this] { OnNextPane(); });
        addAction(pane);
    }

    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("menuBar"));
    m_fileMenu = bar->addMenu(tr("&File"));
    m_fileMenu->setObjectName(QStringLiteral("fileMenu"));
    m_fileMenu->setSeparatorsCollapsible(false);
    for (unsigned id : {ID_FILE_NEW, ID_FILE_OPEN, ID_FILE_SAVE, ID_FILE_SAVE_AS})
        m_fileMenu->addAction(Action(id));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(m_recentPlaceholder);
    m_afterRecent = m_fileMenu->addSeparator();
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(ID_LOGIN_CMD));
    m_fileMenu->addAction(Action(ID_LOGOUT_CMD));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(ID_SETTINGS_CMD));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(ID_APP_EXIT));

    QMenu* edit = bar->addMenu(tr("&Edit"));
    edit->setObjectName(QStringLiteral("editMenu"));
    edit->addAction(Action(ID_EDIT_UNDO));
    edit->addSeparator();
    for (unsigned id : {ID_EDIT_CUT, ID_EDIT_COPY, ID_EDIT_PASTE})
        edit->addAction(Action(id));

    QMenu* view = bar->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("viewMenu"));
    view->addAction(Action(ID_VIEW_TOOLBAR));
    view->addAction(Action(ID_VIEW_STATUS_BAR));

    QMenu* help = bar->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    help->addAction(Action(ID_APP_ABOUT));

    CProfileStore store;
    m_recent.Load(store);
    UpdateRecentFileMenu();
}

void CMainFrame::CreateToolBar() {
    m_toolBar = addToolBar(tr("Toolbar"));
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setIconSize(QSize(16, 16));
    m_toolBar->setMovable(true);
    const unsigned order[] = {ID_FILE_NEW,
                              ID_FILE_OPEN,
                              ID_FILE_SAVE,
                              0,
                              ID_LOGOUT_CMD,
                              ID_LOGIN_CMD,
                              0,
                              ID_EDIT_CUT,
                              ID_EDIT_COPY,
                              ID_EDIT_PASTE,
                              0,
                              ID_FILE_PRINT,
                              0,
                              ID_VIEW_LARGEICON,
                              ID_VIEW_SMALLICON,
                              ID_VIEW_LIST,
                              ID_VIEW_DETAILS,
                              0,
                              ID_APP_ABOUT};
    for (unsigned id : order) {
        if (id == 0)
            m_toolBar->addSeparator();
        else
            m_toolBar->addAction(Action(id));
    }
    QAction* toggle = Action(ID_VIEW_TOOLBAR);
    connect(toggle, &QAction::toggled, m_toolBar, &QToolBar::setVisible);
    connect(m_toolBar, &QToolBar::visibilityChanged, toggle, [toggle, this](bool visible) {
        if (!isMinimized())
            toggle->setChecked(visible);
    });
    OnUpdateListStyle();
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

// List styles.

void CMainFrame::OnListStyle(unsigned id) {
    CZDXView* view = GetRightPane();
    if (!view)
        return;
    for (const auto& [command, style] : kListStyles)
        if (command == id)
            view->SetListStyle(style);
    if (id == ID_VIEW_LINEUP)
        view->LineUp();
    OnUpdateListStyle();
}

void CMainFrame::OnUpdateListStyle() {
    const ListStyle style = m_resultView->Style();
    for (const auto& [command, s] : kListStyles)
        Action(command)->setChecked(s == style);
    Action(ID_VIEW_LINEUP)
        ->setEnabled(style == ListStyle::LargeIcons || style == ListStyle::SmallIcons);
}

// Documents: the window's document holds nothing, but New, Open, Save and the recent files
// work as a user expects.

void CMainFrame::OnFileNew() {
    m_doc.OnNewDocument();
    OnInitialUpdate();
}

void CMainFrame::OnFileOpen() {
    const std::string path = AskDocumentPath(false, std::string(), this);
    if (!path.empty())
        OpenDocument(path);
}

bool CMainFrame::OpenDocument(const std::string& path) {
    if (!m_doc.OnOpenDocument(path)) {
        ShowMessageBox(StringPrintf("Cannot open %s.", path.c_str()), MessageKind::Ok, this);
        return false;
    }
    RememberRecentFile(path);
    OnInitialUpdate();
    return true;
}

void CMainFrame::OnFileSave() {
    if (m_doc.PathName().empty())
        OnFileSaveAs();
    else
        SaveDocumentAs(m_doc.PathName());
}

void CMainFrame::OnFileSaveAs() {
    const std::string suggested =
        m_doc.PathName().empty() ? LoadResString(AFX_IDS_APP_TITLE) : m_doc.PathName();
    const std::string path = AskDocumentPath(true, suggested, this);
    if (!path.empty())
        SaveDocumentAs(path);
}

bool CMainFrame::SaveDocumentAs(const std::string& path) {
    if (!m_doc.OnSaveDocument(path)) {
        ShowMessageBox(StringPrintf("Cannot save %s.", path.c_str()), MessageKind::Ok, this);
        return false;
    }
    RememberRecentFile(path);
    return true;
}

void CMainFrame::RememberRecentFile(const std::string& path) {
    m_recent.Add(path);
    SaveRecentFiles();
}

void CMainFrame::SaveRecentFiles() {
    CProfileStore store;
    m_recent.Save(store);
    UpdateRecentFileMenu();
}

void CMainFrame::OnRecentFile(std::size_t index) {
    if (index >= m_recent.Files().size())
        return;
    const std::string path = m_recent.Files()[index];
    if (m_doc.OnOpenDocument(path)) {
        RememberRecentFile(path);
        OnInitialUpdate();
        return;
    }
    // A file that is gone leaves the list, with a word to the user.
    m_recent.Remove(index);
    SaveRecentFiles();
    ShowMessageBox(
        StringPrintf("Cannot open %s; it was removed from the recent files.", path.c_str()),
        MessageKind::Ok, this);
}

void CMainFrame::UpdateRecentFileMenu() {
    for (QAction* action : m_recentActions) {
        m_fileMenu->removeAction(action);
        action->deleteLater();
    }
    m_recentActions.clear();
    const auto& files = m_recent.Files();
    m_recentPlaceholder->setVisible(files.empty());
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto* action =
            new QAction(QString::fromStdString(CRecentFileList::MenuText(i, files[i])), this);
        action->setObjectName(QStringLiteral("recentFile%1").arg(i + 1));
        action->setStatusTip(Res(ID_FILE_MRU_FILE1));
        connect(action, &QAction::triggered, this, [this, i] { OnRecentFile(i); });
        m_fileMenu->insertAction(m_afterRecent, action);
        m_recentActions.push_back(action);
    }
}

// Panes and the about box.

void CMainFrame::OnNextPane() {
    QWidget* focus = QApplication::focusWidget();
    if (focus && m_leftView->isAncestorOf(focus)) {
        m_resultView->CurrentView()->setFocus(Qt::OtherFocusReason);
        return;
    }
    QWidget* target = m_leftView->focusWidget();
    if (!target)
        target = m_leftView->nextInFocusChain();
    (target ? target : m_leftView)->setFocus(Qt::OtherFocusReason);
}

void CZDXApp::OnAppAbout() {
    CAboutDlg dialog(QApplication::activeWindow());
    dialog.exec();
}

// Placement.

void CMainFrame::RestoreWindowPlacement() {
    CProfileStore store;
    const SplitterLayout splitter = ReadSplitterLayout(store);
    m_leftView->setMinimumWidth(splitter.min0);
    m_resultView->setMinimumWidth(splitter.min1);
    m_splitter->setSizes({splitter.cur0, splitter.cur1});

    m_placement = ReadWindowPlacement(store, kPlacementSection);
    if (m_placement.showCmd == kNoPlacement) {
        // Nothing stored: a roomy window where the window manager puts it.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QSize room = screen->availableSize();
            resize(std::min(1000, room.width() * 3 / 4), std::min(650, room.height() * 3 / 4));
        }
        return;
    }
    std::vector<PlacementRect> screens;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect r = screen->availableGeometry();
        screens.push_back({r.left(), r.top(), r.left() + r.width(), r.top() + r.height()});
    }
    const QSize least = minimumSizeHint();
    const PlacementRect r =
        FitOnScreens(m_placement.normal, screens, least.width(), least.height());
    setGeometry(r.left, r.top, r.Width(), r.Height());
}

void CMainFrame::ShowStored() {
    switch (m_placement.showCmd) {
    case kShowMinimized:
        showMinimized();
        break;
    case kShowMaximized:
        showMaximized();
        break;
    default:
        show();
        break;
    }
}

void CMainFrame::SaveWindowPlacement() {
    WindowPlacement p;
    p.showCmd = isMinimized() ? kShowMinimized : isMaximized() ? kShowMaximized : kShowNormal;
    const QRect normal = normalGeometry().isValid() ? normalGeometry() : geometry();
    p.normal = {normal.left(), normal.top(), normal.left() + normal.width(),
                normal.top() + normal.height()};
    CProfileStore store;
    WriteWindowPlacement(store, kPlacementSection, p);
    const QList<int> sizes = m_splitter->sizes();
    SplitterLayout splitter;
    splitter.cur0 = sizes.value(0);
    splitter.min0 = m_leftView->minimumWidth();
    splitter.cur1 = sizes.value(1);
    splitter.min1 = m_resultView->minimumWidth();
    WriteSplitterLayout(store, splitter);
    store.Flush();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (!m_placementSaved) {
        m_placementSaved = true;
        SaveWindowPlacement();
    }
    QMainWindow::closeEvent(event);
}

// Sign-in and settings.

void CMainFrame::OnLogIn() {
    CLoginDlg dialog(this);
    dialog.exec();
}

void CMainFrame::OnLogOut() {
    if (ShowMessageBox(LoadResString(IDS_LOGOUT_QUESTION), MessageKind::OkCancel, this) != IDOK)
        return;
    RunLogout();
}

void CMainFrame::OnSettings() {
    CSettingsDlg dialog(this);
    dialog.exec();
}
