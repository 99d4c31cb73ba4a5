#include "gui/MainWindow.h"

#include "diag/ActivityLog.h"
#include "gui/AboutDialog.h"
#include "gui/Images.h"
#include "gui/KeyIndicators.h"
#include "gui/LoginDialog.h"
#include "gui/MessageBox.h"
#include "gui/PreviewPane.h"
#include "gui/RequestRunner.h"
#include "gui/ResultModel.h"
#include "gui/ResultView.h"
#include "gui/SearchForm.h"
#include "gui/SettingsDialog.h"
#include "net/FailureText.h"
#include "profile/ProfileStore.h"
#include "signin/LoginRequest.h"
#include "text/StringTable.h"
#include "text/WholeFile.h"

#include <QAbstractItemView>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTimer>
#include <QToolBar>
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace {

QString Res(unsigned id) {
    return QString::fromStdString(Text(id));
}

constexpr unsigned kIndicatorIds[MainWindow::kPaneCount] = {
    TextId::IdleMessage,   TextId::IndicatorCaps, TextId::IndicatorNum,
    TextId::IndicatorScrl, TextId::IndicatorAuth, TextId::IndicatorHits};
constexpr int kInfoPaneWidth = 100;
constexpr const char* kPlacementSection = "MainWindow";

const std::pair<Command, ListStyle> kListStyles[] = {
    {Command::LargeIcons, ListStyle::LargeIcons},
    {Command::SmallIcons, ListStyle::SmallIcons},
    {Command::List, ListStyle::List},
    {Command::Details, ListStyle::Details},
};

// Where the profile store keeps the preview's state (shown or not, its width).
constexpr const char* kPreviewSection = "Preview";
} // namespace

MainWindow::MainWindow(Settings settings, QWidget* parent)
    : QMainWindow(parent), m_settings(std::move(settings)) {
    setObjectName(QStringLiteral("mainFrame"));
    // The caption is always the application title; no document name is ever part of it.
    setWindowTitle(Res(TextId::AppTitle));
    setAcceptDrops(true);
    setWindowIcon(AppIcon());

    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("splitter"));
    m_splitter->setChildrenCollapsible(false);
    // Below its smallest size the form scrolls instead of squashing its fields.
    m_formScroll = new QScrollArea(m_splitter);
    m_formScroll->setObjectName(QStringLiteral("formScroll"));
    m_formScroll->setFrameShape(QFrame::NoFrame);
    m_formScroll->setWidgetResizable(true);
    m_formScroll->setFocusPolicy(Qt::NoFocus); // the tab order starts at the query field
    m_leftView = new SearchForm;
    m_formScroll->setWidget(m_leftView);
    m_resultView = new ResultView(m_splitter);
    m_preview = new PreviewPane(m_splitter);
    m_preview->hide();
    m_splitter->addWidget(m_formScroll);
    m_splitter->addWidget(m_resultView);
    m_splitter->addWidget(m_preview);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setStretchFactor(2, 1);
    connect(m_resultView, &ResultView::currentHitChanged, this,
            [this](const std::string& link, const std::string& matches) {
                if (m_preview->isHidden())
                    return;
                if (link.empty())
                    return m_preview->Clear();
                m_preview->ShowHit(link, m_previewQuery, matches, m_settings);
            });
    setCentralWidget(m_splitter);
    m_resultView->SetHost(this);
    m_requests = new RequestRunner(*this, *m_resultView);

    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    RestoreWindowPlacement();
    connect(m_leftView, &SearchForm::searchPressed, this, &MainWindow::OnSearch);
    connect(m_leftView, &SearchForm::searchWanted, this, &MainWindow::OnSearchAgain);
    qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
    // As a close does: a request under way ends now, while the views it reports to still exist.
    m_requests->Stop();
}

void MainWindow::SetUpViews() {
    m_leftView->SetUp(m_settings);
    m_resultView->SetUp(m_settings);
}

void MainWindow::SetSignedInUser(const std::string& user) {
    m_signedInUser = user;
    SetAuthText(user);
}

QAction* MainWindow::Action(Command id) const {
    auto it = m_actions.find(id);
    return it == m_actions.end() ? nullptr : it->second;
}

// An action for a command: the menu text (a tab separates the shortcut shown at its right),
// the prompt shown in pane 0 and the tool tip, both from the command's string.
QAction* MainWindow::AddCommand(Command id, const QString& menuText, const char* icon) {
    const QStringList parts = menuText.split(QLatin1Char('\t'));
    auto* action = new QAction(parts[0], this);
    const auto number = static_cast<unsigned>(id);
    action->setObjectName(QStringLiteral("command%1").arg(number));
    action->setData(number);
    if (parts.size() > 1)
        action->setShortcut(QKeySequence(parts[1]));
    const QStringList texts = Res(number).split(QLatin1Char('\n'));
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

namespace {
// Enables a command and runs `handler` when it is triggered.
template <class Handler> void Enable(QAction* action, Handler handler) {
    action->setEnabled(true);
    QObject::connect(action, &QAction::triggered, handler);
}
} // namespace

// The File commands, Stop and Refine.
void MainWindow::CreateFileCommands() {
    QAction* newDoc = AddCommand(Command::New, tr("&New\tCtrl+N"), "new");
    Enable(newDoc, [this] { OnFileNew(); });
    Enable(AddCommand(Command::Open, tr("&Open...\tCtrl+O"), "open"), [this] { OnFileOpen(); });
    Enable(AddCommand(Command::Save, tr("&Save\tCtrl+S"), "save"), [this] { OnFileSave(); });
    Enable(AddCommand(Command::SaveAs, tr("Save &As...")), [this] { OnFileSaveAs(); });
    m_recentPlaceholder = AddCommand(Command::RecentFile, tr("Recent File"));
    Enable(AddCommand(Command::LogIn, tr("&Log in"), "login"), [this] { OnLogIn(); });
    Enable(AddCommand(Command::LogOut, tr("Log o&ut"), "logout"), [this] { OnLogOut(); });
    Enable(AddCommand(Command::Settings, tr("Se&ttings")), [this] { OnSettings(); });
    QAction* exportHits = AddCommand(Command::ExportHits, tr("&Export hits..."));
    exportHits->setStatusTip(tr("Write the hits shown to a CSV or TSV file"));
    Enable(exportHits, [this] { m_resultView->OnExport(); });
    QAction* clearHistory = AddCommand(Command::ClearHistory, tr("Clear search &history"));
    clearHistory->setStatusTip(tr("Forget the queries searched for"));
    Enable(clearHistory, [this] { m_leftView->ClearHistory(); });
    QAction* find = AddCommand(Command::FindInHits, tr("&Refine hits\tCtrl+F"));
    find->setStatusTip(tr("Narrow the hits shown to those holding the words typed"));
    Enable(find, [this] {
        m_resultView->FilterField()->setFocus();
        m_resultView->FilterField()->selectAll();
    });
    addAction(find);
    connect(m_resultView, &ResultView::shownRowsChanged, this, &MainWindow::ShowFilteredCount);
    // Stop: the toolbar's button and Escape anywhere in the window, while a request runs.
    QAction* stop = AddCommand(Command::Stop, tr("St&op"));
    stop->setIcon(StopIcon());
    stop->setStatusTip(tr("Stop the search under way"));
    stop->setShortcut(QKeySequence(Qt::Key_Escape));
    stop->setShortcutContext(Qt::WindowShortcut);
    connect(stop, &QAction::triggered, this, [this] { OnStop(); });
    addAction(stop);
    connect(m_requests, &RequestRunner::busyChanged, stop, &QAction::setEnabled);
    QAction* again = AddCommand(Command::SearchAgain, tr("Search a&gain\tF5"));
    again->setStatusTip(tr("Run the search of the form again"));
    again->setShortcutContext(Qt::WindowShortcut);
    Enable(again, [this] { OnSearchAgain(); });
    addAction(again);
    connect(m_requests, &RequestRunner::busyChanged, m_leftView, &SearchForm::OnRequestBusy);
    Enable(AddCommand(Command::Exit, tr("E&xit")), [this] { close(); });
}

// The Edit, View, Help and pane commands.
void MainWindow::CreatePreviewCommands() {
    QAction* preview = AddCommand(Command::Preview, tr("&Preview\tF7"));
    preview->setStatusTip(tr("Show the selected hit's text beside the list"));
    preview->setCheckable(true);
    preview->setEnabled(true);
    connect(preview, &QAction::toggled, this, [this](bool on) { ShowPreview(on); });
    QAction* next = AddCommand(Command::NextMatch, tr("&Next Match\tF3"));
    next->setStatusTip(tr("Go to the next matched word in the preview"));
    Enable(next, [this] { m_preview->NextMatch(); });
    QAction* previous = AddCommand(Command::PreviousMatch, tr("P&revious Match\tShift+F3"));
    previous->setStatusTip(tr("Go to the previous matched word in the preview"));
    Enable(previous, [this] { m_preview->PreviousMatch(); });
    ProfileStore store;
    preview->setChecked(store.ReadInt(kPreviewSection, "Visible", 0) == 1);
}

void MainWindow::ShowPreview(bool on) {
    m_preview->setVisible(on);
    ProfileStore store;
    store.WriteInt(kPreviewSection, "Visible", on ? 1 : 0);
    if (!on)
        return m_preview->Clear();
    // Its width as it was left, taken from the list.
    QList<int> sizes = m_splitter->sizes();
    int width = store.ReadInt(kPreviewSection, "Width", 0);
    if (width <= 0 && sizes.size() == 3)
        width = (sizes[1] + sizes[2]) * 2 / 5; // first time: two fifths of the list's room
    if (sizes.size() == 3 && width > 0 && sizes[1] + sizes[2] > width) {
        sizes[1] += sizes[2];
        sizes[1] -= width;
        sizes[2] = width;
        m_splitter->setSizes(sizes);
    }
    m_resultView->AnnounceCurrentHit();
}

void MainWindow::CreateViewCommands() {
    AddCommand(Command::Undo, tr("&Undo\tCtrl+Z"))
        ->setShortcuts({QKeySequence(tr("Ctrl+Z")), QKeySequence(tr("Alt+Backspace"))});
    AddCommand(Command::Cut, tr("Cu&t\tCtrl+X"), "cut")
        ->setShortcuts({QKeySequence(tr("Ctrl+X")), QKeySequence(tr("Shift+Del"))});
    AddCommand(Command::Copy, tr("&Copy\tCtrl+C"), "copy")
        ->setShortcuts({QKeySequence(tr("Ctrl+C")), QKeySequence(tr("Ctrl+Ins"))});
    AddCommand(Command::Paste, tr("&Paste\tCtrl+V"), "paste")
        ->setShortcuts({QKeySequence(tr("Ctrl+V")), QKeySequence(tr("Shift+Ins"))});
    AddCommand(Command::Print, tr("&Print..."), "print");
    QAction* asCommand = AddCommand(Command::CopyAsCommand, tr("Copy search as co&mmand"));
    asCommand->setStatusTip(tr("Put the zdx-query command line of this search on the clipboard"));
    Enable(asCommand, [this] {
        QGuiApplication::clipboard()->setText(
            QString::fromStdString(SearchAsCommand(m_leftView->ReadForm())));
    });
    // The list's Delete key and its context menu's Delete; Shift+Delete in the list deletes
    // for good.
    QAction* deleteHit = AddCommand(Command::DeleteHit, tr("&Delete"));
    deleteHit->setStatusTip(tr("Move the selected hit's file to the Trash"));
    Enable(deleteHit, [this] { m_resultView->OnDelete(); });

    QAction* toolbar = AddCommand(Command::Toolbar, tr("&Toolbar"));
    toolbar->setCheckable(true);
    toolbar->setChecked(true);
    toolbar->setEnabled(true);
    QAction* statusBarToggle = AddCommand(Command::StatusBar, tr("&Status Bar"));
    statusBarToggle->setCheckable(true);
    statusBarToggle->setChecked(true);
    statusBarToggle->setEnabled(true);
    connect(statusBarToggle, &QAction::toggled, this,
            [this](bool on) { statusBar()->setVisible(on); });
    Enable(AddCommand(Command::About, tr("&About ZDX..."), "about"), [this] { ShowAbout(); });

    auto* styles = new QActionGroup(this);
    const std::pair<Command, const char*> styleIcons[] = {{Command::LargeIcons, "largeicons"},
                                                          {Command::SmallIcons, "smallicons"},
                                                          {Command::List, "list"},
                                                          {Command::Details, "details"}};
    // The View menu's texts, with a mnemonic each; the tool tips keep the plain names.
    const QString menuTexts[] = {tr("&Large Icons"), tr("S&mall Icons"), tr("L&ist"),
                                 tr("&Details")};
    int number = 0;
    for (const auto& [id, icon] : styleIcons) {
        QAction* action = AddCommand(id, menuTexts[number], icon);
        action->setCheckable(true);
        // In the View menu too, with Ctrl+1 .. Ctrl+4.
        action->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key(Qt::Key_1 + number++)));
        action->setShortcutContext(Qt::WindowShortcut);
        styles->addAction(action);
        const Command command = id;
        Enable(action, [this, command] { OnListStyle(command); });
    }
    Enable(AddCommand(Command::LineUp, tr("Line &up Icons")),
           [this] { OnListStyle(Command::LineUp); });
    Enable(AddCommand(Command::ByName, tr("&By Name")), [this] { OnListStyle(Command::ByName); });

    // F6 and Shift+F6 move the focus between the two panes.
    for (Command id : {Command::NextPane, Command::PrevPane}) {
        QAction* pane = AddCommand(id, id == Command::NextPane ? tr("Next Pane\tF6")
                                                               : tr("Previous Pane\tShift+F6"));
        pane->setShortcutContext(Qt::WindowShortcut);
        Enable(pane, [this] { OnNextPane(); });
        addAction(pane);
    }
}

void MainWindow::CreateMenus() {
    CreateFileCommands();
    CreateViewCommands();
    CreatePreviewCommands();
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("menuBar"));
    m_fileMenu = bar->addMenu(tr("&File"));
    m_fileMenu->setObjectName(QStringLiteral("fileMenu"));
    m_fileMenu->setSeparatorsCollapsible(false);
    for (Command id : {Command::New, Command::Open, Command::Save, Command::SaveAs})
        m_fileMenu->addAction(Action(id));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(m_recentPlaceholder);
    m_afterRecent = m_fileMenu->addSeparator();
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(Command::LogIn));
    m_fileMenu->addAction(Action(Command::LogOut));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(Command::Settings));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(Command::ExportHits));
    m_fileMenu->addAction(Action(Command::ClearHistory));
    m_fileMenu->addSeparator();
    m_fileMenu->addAction(Action(Command::Exit));

    QMenu* edit = bar->addMenu(tr("&Edit"));
    edit->setObjectName(QStringLiteral("editMenu"));
    edit->addAction(Action(Command::Undo));
    edit->addSeparator();
    for (Command id : {Command::Cut, Command::Copy, Command::Paste, Command::DeleteHit})
        edit->addAction(Action(id));
    edit->addSeparator();
    edit->addAction(Action(Command::CopyAsCommand));

    QMenu* view = bar->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("viewMenu"));
    view->addAction(Action(Command::Toolbar));
    view->addAction(Action(Command::StatusBar));
    view->addSeparator();
    for (Command id : {Command::LargeIcons, Command::SmallIcons, Command::List, Command::Details})
        view->addAction(Action(id));
    view->addSeparator();
    for (Command id : {Command::Preview, Command::NextMatch, Command::PreviousMatch})
        view->addAction(Action(id));

    QMenu* help = bar->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    help->addAction(Action(Command::About));

    ProfileStore store;
    m_recent.Load(store);
    UpdateRecentFileMenu();
}

void MainWindow::CreateToolBar() {
    m_toolBar = addToolBar(tr("Toolbar"));
    m_toolBar->setObjectName(QStringLiteral("toolBar"));
    m_toolBar->setIconSize(QSize(16, 16));
    m_toolBar->setMovable(true);
    const std::vector<std::optional<Command>> order = {
        Command::New,   Command::Open,    Command::Save, std::nullopt,        Command::LogOut,
        Command::LogIn, std::nullopt,     Command::Cut,  Command::Copy,       Command::Paste,
        std::nullopt,   Command::Print,   std::nullopt,  Command::LargeIcons, Command::SmallIcons,
        Command::List,  Command::Details, std::nullopt,  Command::About};
    for (const std::optional<Command>& id : order) {
        if (!id)
            m_toolBar->addSeparator();
        else
            m_toolBar->addAction(Action(*id));
        if (id == Command::Save) {
            m_toolBar->addSeparator();
            m_toolBar->addAction(Action(Command::Stop));
        }
    }
    QAction* toggle = Action(Command::Toolbar);
    connect(toggle, &QAction::toggled, m_toolBar, &QToolBar::setVisible);
    connect(m_toolBar, &QToolBar::visibilityChanged, toggle, [toggle, this](bool visible) {
        if (!isMinimized())
            toggle->setChecked(visible);
    });
    CheckCurrentListStyle();
}

void MainWindow::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("statusBar"));
    bar->setSizeGripEnabled(true);
    for (int i = 0; i < kPaneCount; ++i) {
        auto* pane = new QLabel(Res(kIndicatorIds[i]), bar);
        pane->setObjectName(QStringLiteral("pane%1").arg(i));
        pane->setTextFormat(Qt::PlainText);
        // Named by what they show; their text is the value a screen reader reads.
        static const char* const kPaneNames[kPaneCount] = {
            QT_TR_NOOP("Status"),      QT_TR_NOOP("Caps Lock"),    QT_TR_NOOP("Num Lock"),
            QT_TR_NOOP("Scroll Lock"), QT_TR_NOOP("Signed in as"), QT_TR_NOOP("Hits")};
        pane->setAccessibleName(tr(kPaneNames[i]));
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
            pane->setFixedWidth(std::max(
                kInfoPaneWidth, pane->fontMetrics().horizontalAdvance(QString::fromStdString(
                                    StringPrintf(Text(TextId::DocumentsFound).c_str(), 9999999))) +
                                    8));
        else
            pane->setFixedWidth(pane->sizeHint().width());
        bar->addPermanentWidget(pane);
    }
    UpdateKeyIndicators();

    // While a request is out: a busy bar with the seconds it has taken, and the list's
    // busy-but-usable cursor.
    m_busy = new QProgressBar(bar);
    m_busy->setObjectName(QStringLiteral("busyIndicator"));
    m_busy->setAccessibleName(tr("Request under way"));
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(true);
    m_busy->setMaximumWidth(160);
    m_busy->hide();
    bar->addWidget(m_busy);
    m_busyTimer = new QTimer(this);
    m_busyTimer->setInterval(1000);
    connect(m_busyTimer, &QTimer::timeout, this, &MainWindow::ShowBusySeconds);
    connect(m_requests, &RequestRunner::busyChanged, this, [this](bool busy) {
        m_busyClock.start();
        ShowBusySeconds();
        m_busy->setVisible(busy);
        busy ? m_busyTimer->start() : m_busyTimer->stop();
        if (busy)
            m_resultView->setCursor(Qt::BusyCursor);
        else
            m_resultView->unsetCursor();
    });
}

void MainWindow::ShowBusySeconds() {
    m_busy->setFormat(tr("%n s", nullptr, static_cast<int>(m_busyClock.elapsed() / 1000)));
}

void MainWindow::UpdateKeyIndicators() {
    const KeyIndicators keys = ReadKeyIndicators();
    const bool on[] = {keys.caps, keys.num, keys.scroll};
    for (int i = 0; i < 3; ++i)
        m_panes[1 + i]->setText(keys.known && on[i] ? Res(kIndicatorIds[1 + i]) : QString());
}

void MainWindow::SetStatusText(const std::string& text) {
    PaneLabel(Pane::Message)->setText(QString::fromStdString(text));
    PaneLabel(Pane::Message)->repaint();
}

void MainWindow::SetAuthText(const std::string& text) {
    PaneLabel(Pane::Auth)->setText(QString::fromStdString(text));
    PaneLabel(Pane::Auth)->repaint();
}

void MainWindow::ShowFilteredCount(int shown, int total, bool filtered) {
    if (!filtered) {
        SetHitCount(m_hitCount);
        return;
    }
    PaneLabel(Pane::Hits)->setText(tr("%1 of %2 documents").arg(shown).arg(total));
}

void MainWindow::SetHitCount(int count) {
    m_hitCount = count;
    PaneLabel(Pane::Hits)
        ->setText(
            QString::fromStdString(StringPrintf(Text(TextId::DocumentsFound).c_str(), count)));
    PaneLabel(Pane::Hits)->repaint();
}

bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::StatusTip) {
        // Menu and toolbar prompts go to pane 0; an empty prompt brings back the idle text.
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        SetStatusText((tip.isEmpty() ? Res(TextId::IdleMessage) : tip).toStdString());
        return true;
    }
    return QMainWindow::event(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
        UpdateKeyIndicators();
    // Log in, Log out and Print have their prompt in the status bar, and no tool tip.
    if (event->type() == QEvent::ToolTip && m_toolBar)
        for (Command id : {Command::LogIn, Command::LogOut, Command::Print})
            if (watched == m_toolBar->widgetForAction(Action(id)))
                return true;
    return QMainWindow::eventFilter(watched, event);
}

// List styles.

void MainWindow::OnListStyle(Command id) {
    ResultView* view = ResultPane();
    if (!view)
        return;
    for (const auto& [command, style] : kListStyles)
        if (command == id)
            view->SetListStyle(style);
    if (id == Command::LineUp)
        view->LineUp();
    CheckCurrentListStyle();
}

void MainWindow::CheckCurrentListStyle() {
    const ListStyle style = m_resultView->Style();
    for (const auto& [command, s] : kListStyles)
        Action(command)->setChecked(s == style);
    Action(Command::LineUp)
        ->setEnabled(style == ListStyle::LargeIcons || style == ListStyle::SmallIcons);
}

// Documents: a search, saved as a small INI file (search/SavedSearch.h).

namespace {
// The text of a saved search's file; false when it cannot be read or is too large to be one.
bool ReadSearchFile(const std::string& path, std::string& text) {
    QFile file(QString::fromStdString(path));
    if (QFileInfo(file).isDir() || !file.open(QIODevice::ReadOnly) || file.size() > (1 << 20))
        return false;
    text = file.readAll().toStdString();
    return true;
}
} // namespace

void MainWindow::OnFileNew() {
    if (m_requests->Busy())
        OnStop();
    m_doc.OnNewDocument();
    SetUpViews();
    m_pendingSort.reset();
    m_leftView->WriteForm({});
    m_resultView->FilterField()->clear();
    m_resultView->Clear();
    UpdateTitle();
}

void MainWindow::OnFileOpen() {
    const std::string path = AskDocumentPath(false, std::string(), this);
    if (!path.empty())
        OpenDocument(path);
}

bool MainWindow::OpenDocument(const std::string& path) {
    std::string text;
    if (!ReadSearchFile(path, text)) {
        ShowMessageBox(StringPrintf("Cannot open %s.", path.c_str()), MessageKind::Ok, this);
        return false;
    }
    const std::optional<SavedSearch> search = ParseSavedSearch(text);
    if (!search) {
        ShowMessageBox(StringPrintf("Cannot open %s: it is not a saved search.", path.c_str()),
                       MessageKind::Ok, this);
        return false;
    }
    if (m_requests->Busy())
        OnStop();
    m_doc.SetPathName(path);
    RememberRecentFile(path);
    SetUpViews();
    UpdateTitle();
    ApplySearch(*search);
    return true;
}

SavedSearch MainWindow::CurrentSearch() const {
    SavedSearch search;
    search.form = m_leftView->ReadForm();
    search.sortColumn = m_resultView->SortColumn();
    search.sortAscending = m_resultView->SortForward();
    search.refine = m_resultView->FilterField()->text().toStdString();
    return search;
}

void MainWindow::ApplySearch(const SavedSearch& search) {
    m_leftView->WriteForm(search.form);
    m_resultView->FilterField()->setText(QString::fromStdString(search.refine));
    m_resultView->Clear();
    m_pendingSort.reset();
    if (search.sortColumn >= 0)
        m_pendingSort = std::make_pair(search.sortColumn, search.sortAscending);
    if (!search.form.query.empty() || !search.form.filename.empty())
        OnSearch();
}

void MainWindow::UpdateTitle() {
    const QString app = Res(TextId::AppTitle);
    const QString name = QFileInfo(QString::fromStdString(m_doc.PathName())).completeBaseName();
    setWindowTitle(name.isEmpty() ? app : name + QStringLiteral(" - ") + app);
}

namespace {
// The first local saved search among what is dragged; empty when there is none.
QString DroppedSearch(const QMimeData* data) {
    if (!data || !data->hasUrls())
        return {};
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && url.toLocalFile().endsWith(QStringLiteral(".zdxsearch")))
            return url.toLocalFile();
    return {};
}
} // namespace

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedSearch(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (OpenDropped(event->mimeData()))
        event->acceptProposedAction();
}

bool MainWindow::OpenDropped(const QMimeData* data) {
    const QString path = DroppedSearch(data);
    return !path.isEmpty() && OpenDocument(path.toStdString());
}

void MainWindow::OnFileSave() {
    if (m_doc.PathName().empty())
        OnFileSaveAs();
    else
        SaveDocumentAs(m_doc.PathName());
}

void MainWindow::OnFileSaveAs() {
    std::string suggested = m_doc.PathName();
    if (suggested.empty()) {
        const std::string query = m_leftView->ReadForm().query;
        suggested = (query.empty() ? Text(TextId::AppTitle) : query) + ".zdxsearch";
    }
    std::string path = AskDocumentPath(true, suggested, this);
    if (path.empty())
        return;
    if (QFileInfo(QString::fromStdString(path)).suffix().isEmpty())
        path += ".zdxsearch";
    SaveDocumentAs(path);
}

bool MainWindow::SaveDocumentAs(const std::string& path) {
    WriteStep step = WriteStep::Create;
    int error = 0;
    if (!WriteFileWhole(path, FormatSavedSearch(CurrentSearch()), 0666, step, error)) {
        ShowMessageBox(StringPrintf("Cannot save %s: %s.", path.c_str(), std::strerror(error)),
                       MessageKind::Ok, this);
        return false;
    }
    m_doc.SetPathName(path);
    RememberRecentFile(path);
    UpdateTitle();
    return true;
}

void MainWindow::RememberRecentFile(const std::string& path) {
    m_recent.Add(path);
    SaveRecentFiles();
}

void MainWindow::SaveRecentFiles() {
    ProfileStore store;
    m_recent.Save(store);
    UpdateRecentFileMenu();
}

void MainWindow::OnRecentFile(std::size_t index) {
    if (index >= m_recent.Files().size())
        return;
    const std::string path = m_recent.Files()[index];
    std::string text;
    if (ReadSearchFile(path, text)) {
        OpenDocument(path);
        return;
    }
    // A file that is gone leaves the list, with a word to the user.
    m_recent.Remove(index);
    SaveRecentFiles();
    ShowMessageBox(
        StringPrintf("Cannot open %s; it was removed from the recent files.", path.c_str()),
        MessageKind::Ok, this);
}

void MainWindow::UpdateRecentFileMenu() {
    for (QAction* action : m_recentActions) {
        m_fileMenu->removeAction(action);
        action->deleteLater();
    }
    m_recentActions.clear();
    const auto& files = m_recent.Files();
    m_recentPlaceholder->setVisible(files.empty());
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto* action =
            new QAction(QString::fromStdString(RecentFileList::MenuText(i, files[i])), this);
        action->setObjectName(QStringLiteral("recentFile%1").arg(i + 1));
        action->setStatusTip(Res(TextId::RecentFile1));
        connect(action, &QAction::triggered, this, [this, i] { OnRecentFile(i); });
        m_fileMenu->insertAction(m_afterRecent, action);
        m_recentActions.push_back(action);
    }
}

// Panes and the about box.

void MainWindow::OnNextPane() {
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

void MainWindow::ShowAbout() {
    AboutDialog dialog(QApplication::activeWindow());
    dialog.exec();
}

// Placement.

void MainWindow::RestoreWindowPlacement() {
    ProfileStore store;
    const SplitterLayout splitter = ReadSplitterLayout(store);
    m_formScroll->setMinimumWidth(splitter.min0);
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

void MainWindow::ShowStored() {
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

void MainWindow::SaveWindowPlacement() {
    WindowPlacement p;
    p.showCmd = isMinimized() ? kShowMinimized : isMaximized() ? kShowMaximized : kShowNormal;
    const QRect normal = normalGeometry().isValid() ? normalGeometry() : geometry();
    p.normal = {normal.left(), normal.top(), normal.left() + normal.width(),
                normal.top() + normal.height()};
    ProfileStore store;
    WriteWindowPlacement(store, kPlacementSection, p);
    const QList<int> sizes = m_splitter->sizes();
    SplitterLayout splitter;
    splitter.cur0 = sizes.value(0);
    splitter.min0 = m_formScroll->minimumWidth();
    splitter.cur1 = sizes.value(1);
    splitter.min1 = m_resultView->minimumWidth();
    WriteSplitterLayout(store, splitter);
    if (!m_preview->isHidden())
        store.WriteInt(kPreviewSection, "Width", sizes.value(2));
    store.Flush();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    m_requests->Stop(); // a transfer under way ends now; the window closes right after
    if (!m_placementSaved) {
        m_placementSaved = true;
        SaveWindowPlacement();
    }
    QMainWindow::closeEvent(event);
}

// Sign-in and settings.

void MainWindow::OnLogIn() {
    m_requests->Stop(); // a search under way ends first
    m_resultView->HideMessageBar();
    LoginDialog dialog(*this);
    dialog.exec();
    // A refused password has its box; any other failure is said in the bar.
    ShowFailure(dialog.Status(), m_settings.connection);
}

void MainWindow::OnStop() {
    m_requests->Stop();
}

void MainWindow::OnLogOut() {
    if (ShowMessageBox(Text(TextId::LogoutQuestion), MessageKind::OkCancel, this) != Answer::Ok)
        return;
    m_requests->Stop();
    m_requests->RunAndWait(
        [settings = m_settings](RequestSink& sink, const RequestControl& control) {
            return RunLogout(settings, sink, control);
        });
}

void MainWindow::OnSettings() {
    // A search under way goes on with the settings it was started with; the next request
    // takes the new ones.
    SettingsDialog dialog(m_settings, m_settingsFile, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    m_settings.connection = dialog.Connection();
    m_settings.searchbase = dialog.Searchbase();
}

void MainWindow::OnSearch() {
    if (m_requests->Busy()) {
        m_requests->Stop(); // the button reads "Stop" while a search runs
        return;
    }
    const SearchRequest form = m_leftView->ReadForm();
    m_leftView->RememberSearch(form);
    m_previewQuery = form.query;
    // A character the service cannot receive would go out as '?': the search would look for
    // something nobody typed. A date box text that names no range would search all dates.
    std::string refusal = UnsendableTextMessage(form, m_settings.connection);
    if (refusal.empty())
        refusal = m_leftView->DateProblem();
    if (!refusal.empty()) {
        ShowMessageBox(refusal, MessageKind::Ok, this);
        return;
    }
    // The old rows go at once; the new ones appear as they are read.
    m_resultView->Clear();
    m_resultView->HideMessageBar();
    m_searchClock.start();
    m_searchConnection = m_settings.connection;
    const Settings settings = m_settings;
    m_requests->Start(
        [form, settings](RequestSink& sink, const RequestControl& control) {
            return RunSearch(form, settings, sink, control);
        },
        [this](int status, bool stopped) { SearchEnded(status, stopped); });
}

void MainWindow::ShowFailure(int status, const ConnectionSettings& connection) {
    const std::string text = FailureText(status, connection.address, connection.port);
    if (!text.empty())
        m_resultView->ShowMessageBar(text);
}

void MainWindow::OnSearchAgain() {
    if (!m_requests->Busy())
        OnSearch();
}

void MainWindow::SearchEnded(int status, bool stopped) {
    ResultModel* model = m_resultView->Model();
    // A restored search is sorted as it was saved, once its hits are in.
    if (m_pendingSort) {
        m_resultView->SetSort(m_pendingSort->first, m_pendingSort->second);
        m_pendingSort.reset();
    }
    ShowFailure(status, m_searchConnection);
    if (status == 200 && !stopped) {
        m_resultView->ShowEmptyNote(model->rowCount() == 0);
        // The last word of a search that went well is what it found, not the connection.
        SetStatusText(StringPrintf("%d documents in %.1f s",
                                   static_cast<int>(model->Table().RowCount()),
                                   m_searchClock.elapsed() / 1000.0));
    }
    // Stopped before the page ended: the count says how much of it is listed.
    if (stopped && !model->Filtered() && m_hitCount > model->rowCount())
        PaneLabel(Pane::Hits)
            ->setText(tr("%1 of %2 documents").arg(model->rowCount()).arg(m_hitCount));
    if (model->DroppedRows() > 0)
        SetStatusText("Only the first " + std::to_string(ResultModel::kMaxRows) +
                      " hits are shown; " + std::to_string(model->DroppedRows()) +
                      " more were left out.");
    if (stopped) {
        SetStatusText("Search stopped; the hits read so far are shown.");
        ProcessLog().Write("Search stopped", "");
    }
    m_resultView->Announce(PaneLabel(Pane::Message)->text());
}
