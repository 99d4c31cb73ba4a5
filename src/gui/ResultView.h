#pragma once
#include <functional>
// The result list: the right-hand pane of the main window. One row per hit, columns, headings
// and widths from the settings, the hit's tip as the row's tool tip; a heading click sorts. The
// rows can be shown in four styles, and a hit can be opened, copied or deleted.
#include "config/Settings.h"
#include "search/ResultList.h"

#include <QWidget>

class FileChecker;
class ResultModel;
class QTimer;
class QAbstractItemView;
class QListView;
class QFrame;
class QLabel;
class QPushButton;
class QLineEdit;
class QMenu;
class QStackedWidget;
class QTreeView;

enum class ListStyle { LargeIcons, SmallIcons, List, Details };

// What the list reports to the window it sits in: the status panes and the signed-in user.
class ResultViewHost : public StatusPanes {
public:
    virtual void SetSignedInUser(const std::string& user) = 0;
};

class ResultView : public QWidget, public ResultList {
    Q_OBJECT
public:
    explicit ResultView(QWidget* parent = nullptr);
    ~ResultView() override;

    // Where the list reports its counts, texts and the signed-in user.
    void SetHost(ResultViewHost* host) { m_host = host; }
    // Sets the columns from the settings (once, however often it runs) and the sort direction.
    void SetUp(const Settings& settings);

    // ResultList
    void ClearTips() override;
    void Clear() override;
    // ResultSink
    void AppendHit(HitRow&& hit) override;
    void SetHitCount(int count) override;
    void SetSignedInUser(const std::string& user) override;
    void ShowMessage(const std::string& text) override;

    // "No documents found" over the empty list, after a search that found nothing.
    void ShowEmptyNote(bool show);
    void Announce(const QString& text);
    // A bar over the list saying what went wrong and what to do; it stays until closed or the
    // next request, and asks nothing.
    // With `undo`, the bar offers Undo for 10 s.
    void ShowMessageBar(const std::string& text, std::function<void()> undo = {});
    void HideMessageBar();
    QFrame* MessageBar() const { return m_messageBar; }

    // A heading click: flips the direction and sorts by that column.
    void OnColumnClick(int column);
    // The last heading click's column and direction (one direction for all columns).
    // The column the list was last sorted by; -1 before any sort.
    int SortColumn() const { return m_sorted ? m_sortColumn : -1; }
    bool SortForward() const { return m_sortForward; }
    // Sorts by a column in a direction, as a saved search says.
    void SetSort(int column, bool forward);

    void SetListStyle(ListStyle style);
    ListStyle Style() const { return m_style; }
    // Arranges the icons on their grid (the icon styles only).
    void LineUp();

    // The selected row that comes first in list order, or -1.
    int FirstSelectedRow() const;
    // The text of the row's link column (whole, however long).
    std::string LinkOfRow(int row) const;

    // The actions on the first selected row.
    void OpenFirstSelected();
    void OnCopy();
    void OnDelete();        // to the Trash
    void OnDeleteForGood(); // Shift+Delete
    void OnOpenFolder();
    // Writes the shown rows, in their order and columns, to a CSV or TSV file the user picks.
    void OnExport();
    FileChecker* Checker() const { return m_checker; }
    // The filter field above the list.
    QLineEdit* FilterField() const { return m_filter; }
    // Enables Copy and Delete when the first selected hit has a link.
    void UpdateContextMenu();
    // Shows the Copy/Delete menu: at the mouse, or, from the keyboard, at the selected row.
    void OnContextMenu(const QPoint& globalPos, bool fromKeyboard);
    QPoint KeyboardMenuPosition() const;

    ResultModel* Model() const { return m_model; }

signals:
    // The rows shown changed by the filter: `shown` of `total` loaded.
    void shownRowsChanged(int shown, int total, bool filtered);
    // The current hit (mouse or keyboard) is another one, or none (`link` empty).
    void currentHitChanged(const std::string& link, const std::string& matches);

public:
    // Says which hit is current again (currentHitChanged), for a preview that was hidden.
    void AnnounceCurrentHit();

public:
    QTreeView* DetailsView() const { return m_details; }
    QListView* IconView() const { return m_icons; }
    QAbstractItemView* CurrentView() const;
    QMenu* ContextMenu() const { return m_contextMenu; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ResultModel* m_model = nullptr;
    QStackedWidget* m_stack = nullptr;
    QTreeView* m_details = nullptr;
    QListView* m_icons = nullptr;
    QMenu* m_contextMenu = nullptr;
    QLabel* m_emptyNote = nullptr;
    QLineEdit* m_filter = nullptr;
    FileChecker* m_checker = nullptr;
    QTimer* m_checkTimer = nullptr;
    void SetStatus(const std::string& text);
    QWidget* CreateMessageBar();
    void CreateContextMenu();
    QFrame* m_messageBar = nullptr;
    QLabel* m_messageText = nullptr;
    QPushButton* m_undoButton = nullptr;
    std::function<void()> m_undo;
    QTimer* m_undoTimer = nullptr;
    // Asks the checker about the local files of the rows on the screen.
    void CheckVisibleRows();
    // Greys the rows that link to a file that is gone.
    void MarkGone(const std::string& path);
    // True (after saying so) when the row's file is known to be gone.
    bool SaysFileIsGone(const std::string& link);
    void DeleteForGood(const std::string& link);
    ListStyle m_style = ListStyle::Details;
    bool m_columnsInserted = false;
    ResultViewHost* m_host = nullptr;
    std::vector<std::string> m_headings;
    bool m_sortForward = true;
    int m_sortColumn = 0;
    bool m_sorted = false;
};
