#pragma once
// The single top-level window: the search form and the result list side by side in a splitter,
// the toolbar and menus, and the status bar through which the rest of the program reports. It
// remembers its placement and splitter widths between runs.
#include "config/Application.h"
#include "config/Document.h"
#include "config/RecentFileList.h"
#include "config/WindowPlacement.h"

#include <QMainWindow>
#include <map>

class SearchForm;
class ResultView;
class RequestRunner;
class QLabel;
class QMenu;
class QSplitter;
class QToolBar;

// Command ids, as the menus, toolbar and string table know them.
namespace Command {
enum : unsigned {
    LogIn = 32771,
    LogOut = 32772,
    Settings = 32773,
    Stop = 32774,
    ExportHits = 32775,
    ClearHistory = 32776,
    FindInHits = 32777,
};
} // namespace Command

class MainWindow : public QMainWindow, public StatusPanes {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The first update of the panes, as for a new document.
    void OnInitialUpdate();

    // Status panes: 0 message, 1 CAP, 2 NUM, 3 SCRL, 4 AUTH, 5 HITS. Each setter's text is on
    // the screen when it returns, also while a request keeps the program busy.
    void SetStatusText(const std::string& text) override;
    void SetAuthText(const std::string& text) override;
    void SetHitCount(int count) override;

    static constexpr int kPaneCount = 6;
    // The HITS pane while a filter narrows the list: "N of M documents".
    void ShowFilteredCount(int shown, int total, bool filtered);
    QLabel* Pane(int i) const { return m_panes[i]; }
    QSplitter* Splitter() const { return m_splitter; }
    ResultView* ResultPane() const { return m_resultView; }
    SearchForm* FormPane() const { return m_leftView; }
    QToolBar* ToolBar() const { return m_toolBar; }
    // Runs search, sign-in and logout off the window's thread.
    RequestRunner* Requests() const { return m_requests; }
    // The action of a command id (menus, toolbar and accelerators share it), or nullptr.
    QAction* Action(unsigned id) const;

    // Shows the window as the stored placement says (normal, minimised or maximised).
    void ShowStored();

    // Commands.
    void OnListStyle(unsigned id);
    void OnUpdateListStyle();
    void OnFileNew();
    void OnFileOpen();
    bool OpenDocument(const std::string& path);
    void OnFileSave();
    void OnFileSaveAs();
    void OnRecentFile(std::size_t index);
    void OnNextPane();
    void OnLogIn();
    void OnLogOut();
    void OnSettings();
    // Ends the request under way, keeping the rows read so far.
    void OnStop();

    const RecentFileList& RecentFiles() const { return m_recent; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    QAction* AddCommand(unsigned id, const QString& menuText, const char* icon = nullptr);
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void UpdateKeyIndicators();
    void RestoreWindowPlacement();
    void SaveWindowPlacement();
    void UpdateRecentFileMenu();
    void RememberRecentFile(const std::string& path);
    void SaveRecentFiles();
    bool SaveDocumentAs(const std::string& path);

    QSplitter* m_splitter = nullptr;
    SearchForm* m_leftView = nullptr;
    ResultView* m_resultView = nullptr;
    QToolBar* m_toolBar = nullptr;
    RequestRunner* m_requests = nullptr;
    QLabel* m_panes[kPaneCount] = {};
    std::map<unsigned, QAction*> m_actions;
    QMenu* m_fileMenu = nullptr;
    QAction* m_recentPlaceholder = nullptr;
    QAction* m_afterRecent = nullptr;
    std::vector<QAction*> m_recentActions;
    Document m_doc;
    RecentFileList m_recent;
    WindowPlacement m_placement;
    bool m_placementSaved = false;
    int m_hitCount = 0; // the page's last count, shown when no filter narrows the list
};
