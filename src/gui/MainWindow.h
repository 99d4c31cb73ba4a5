#pragma once
// The single top-level window: the search form and the result list side by side in a splitter,
// the toolbar and menus, and the status bar through which the rest of the program reports. It
// remembers its placement and splitter widths between runs.
#include "config/Application.h"
#include "config/Document.h"
#include "config/RecentFileList.h"
#include "config/Settings.h"
#include "config/WindowPlacement.h"
#include "search/SavedSearch.h"

#include "gui/ResultView.h"
#include "text/StringTable.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <map>
#include <optional>
#include <utility>

class SearchForm;
class PreviewPane;
class RequestRunner;
class QDragEnterEvent;
class QDropEvent;
class QLabel;
class QMimeData;
class QProgressBar;
class QTimer;
class QMenu;
class QScrollArea;
class QSplitter;
class QToolBar;

// The window's commands (menus, toolbar and shortcuts). Each is numbered as the string table
// numbers its prompt, the status text and tool tip shown for it; nothing else depends on the
// numbers.
enum class Command : unsigned {
    New = TextId::FileNew,
    Open = TextId::FileOpen,
    Save = TextId::FileSave,
    SaveAs = TextId::FileSaveAs,
    RecentFile = TextId::RecentFile1,
    Print = TextId::FilePrint,
    Exit = TextId::AppExit,
    Undo = TextId::EditUndo,
    Cut = TextId::EditCut,
    Copy = TextId::EditCopy,
    Paste = TextId::EditPaste,
    Toolbar = TextId::ViewToolbar,
    StatusBar = TextId::ViewStatusBar,
    About = TextId::AppAbout,
    LargeIcons = TextId::ViewLargeIcons,
    SmallIcons = TextId::ViewSmallIcons,
    List = TextId::ViewList,
    Details = TextId::ViewDetails,
    LineUp = TextId::ViewLineup,
    ByName = TextId::ViewByname,
    NextPane = TextId::NextPane,
    PrevPane = TextId::PrevPane,
    LogIn = TextId::Login,
    LogOut = TextId::Logout,
    Settings = TextId::Settings,
    Stop = 32774,
    ExportHits = 32775,
    ClearHistory = 32776,
    FindInHits = 32777,
    SearchAgain = 32778,
    DeleteHit = 32779,
    CopyAsCommand = 32780,
    Preview = 32781,
    NextMatch = 32782,
    PreviousMatch = 32783,
};

// Start-up of the desktop program: the shared start-up, then the main window with a new
// document, or the document the command line names. False when that document cannot be opened.
bool StartWindow(Application& app);

class MainWindow : public QMainWindow, public ResultViewHost {
    Q_OBJECT
public:
    // A window over the settings in effect (from start-up); the settings dialog changes them.
    explicit MainWindow(Settings settings = DefaultSettings(false), QWidget* parent = nullptr);
    ~MainWindow() override;

    // Sets the form and the list up from the settings, as for a new document.
    void SetUpViews();

    // The settings the next request is started with.
    const Settings& CurrentSettings() const { return m_settings; }
    // Where the settings came from: a settings file's path, or empty for the profile store.
    void SetSettingsFile(const std::string& path) { m_settingsFile = path; }
    Settings& MutableSettings() { return m_settings; }
    // The user the service last reported as signed in; empty when nobody is.
    const std::string& SignedInUser() const { return m_signedInUser; }
    void SetSignedInUser(const std::string& user) override;

    // Status panes, left to right. Each setter's text is on the screen when it returns, also
    // while a request keeps the program busy.
    enum class Pane { Message, Caps, Num, Scroll, Auth, Hits };
    void SetStatusText(const std::string& text) override;
    void SetAuthText(const std::string& text) override;
    void SetHitCount(int count) override;

    static constexpr int kPaneCount = 6;
    // The HITS pane while a filter narrows the list: "N of M documents".
    void ShowFilteredCount(int shown, int total, bool filtered);
    QLabel* PaneLabel(Pane pane) const { return m_panes[static_cast<int>(pane)]; }
    QSplitter* Splitter() const { return m_splitter; }
    ResultView* ResultPane() const { return m_resultView; }
    SearchForm* FormPane() const { return m_leftView; }
    PreviewPane* Preview() const { return m_preview; }
    QToolBar* ToolBar() const { return m_toolBar; }
    // Runs search, sign-in and logout off the window's thread.
    RequestRunner* Requests() const { return m_requests; }
    // The action of a command id (menus, toolbar and accelerators share it), or nullptr.
    QAction* Action(Command id) const;

    // Shows the window as the stored placement says (normal, minimised or maximised).
    void ShowStored();

    // Commands.
    void OnListStyle(Command id);
    void CheckCurrentListStyle();
    void OnFileNew();
    void OnFileOpen();
    bool OpenDocument(const std::string& path);
    bool SaveDocumentAs(const std::string& path);
    // Opens the first saved search among dropped files; false when there is none.
    bool OpenDropped(const QMimeData* data);
    void OnFileSave();
    void OnFileSaveAs();
    // The search the window shows, as a document holds it.
    SavedSearch CurrentSearch() const;
    // Fills the form, the sort and the refine field from a search, and runs it when it asks
    // for anything.
    void ApplySearch(const SavedSearch& search);
    void UpdateTitle(); // "NAME - ZDX" for an open search
    void OnRecentFile(std::size_t index);
    void OnNextPane();
    void OnLogIn();
    void OnLogOut();
    void OnSettings();
    // The Search button: stops the search under way, or starts one from the form.
    void OnSearch();
    // F5 and Ctrl+Enter: the form's search again, unless one runs.
    void OnSearchAgain();
    void ShowAbout();
    // Ends the request under way, keeping the rows read so far.
    void OnStop();

    const RecentFileList& RecentFiles() const { return m_recent; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // A saved search dropped on the window opens.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QAction* AddCommand(Command id, const QString& menuText, const char* icon = nullptr);
    void CreateFileCommands();
    void CreateViewCommands();
    void CreatePreviewCommands();
    // Shows or hides the preview beside the list; remembered in the profile store.
    void ShowPreview(bool on);
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void UpdateKeyIndicators();
    void RestoreWindowPlacement();
    void SaveWindowPlacement();
    void UpdateRecentFileMenu();
    void RememberRecentFile(const std::string& path);
    void SaveRecentFiles();
    void SearchEnded(int status, bool stopped);
    void ShowBusySeconds();
    // Says what a failed request's status means in the message bar.
    void ShowFailure(int status, const ConnectionSettings& connection);

    QSplitter* m_splitter = nullptr;
    SearchForm* m_leftView = nullptr;
    QScrollArea* m_formScroll = nullptr;
    ResultView* m_resultView = nullptr;
    PreviewPane* m_preview = nullptr;
    std::string m_previewQuery; // the query of the search whose hits are listed
    QToolBar* m_toolBar = nullptr;
    RequestRunner* m_requests = nullptr;
    QLabel* m_panes[kPaneCount] = {};
    std::map<Command, QAction*> m_actions;
    QMenu* m_fileMenu = nullptr;
    QAction* m_recentPlaceholder = nullptr;
    QAction* m_afterRecent = nullptr;
    std::vector<QAction*> m_recentActions;
    Document m_doc;
    RecentFileList m_recent;
    WindowPlacement m_placement;
    bool m_placementSaved = false;
    std::optional<std::pair<int, bool>> m_pendingSort; // a restored search's, after its answer
    int m_hitCount = 0; // the page's last count, shown when no filter narrows the list
    Settings m_settings;
    std::string m_signedInUser;
    std::string m_settingsFile;
    QElapsedTimer m_searchClock;    // since the search under way started
    QProgressBar* m_busy = nullptr; // shown while a request is out
    QTimer* m_busyTimer = nullptr;
    QElapsedTimer m_busyClock;
    ConnectionSettings m_searchConnection; // where it went
};
