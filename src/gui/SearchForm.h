#pragma once
// The search form: the left-hand pane of the main window. Query and file-name fields, five
// index boxes labelled from the settings, the date range, the Search button and the logo.
// Enter moves to the next field, or presses the button that has the focus.
#include "config/Settings.h"
#include "search/QueryText.h"
#include "search/RecentSearches.h"

#include <QWidget>

class QCheckBox;
class QCompleter;
class QStringListModel;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class SearchForm : public QWidget {
    Q_OBJECT
public:
    explicit SearchForm(QWidget* parent = nullptr);

    // Labels and enables the index boxes from the settings and fills the date list (once).
    void SetUp(const Settings& settings);

    // The Search button reads "Stop" while a request runs.
    void OnRequestBusy(bool busy);

    // Forgets the queries searched for, here and in the profile store.
    void ClearHistory();
    const RecentSearches& History() const { return m_history; }
    QCompleter* HistoryCompleter() const { return m_completer; }

    // What the form holds now.
    SearchRequest ReadForm() const;
    // Fills the form with a search (a saved one, or an empty one for a new document).
    void WriteForm(const SearchRequest& form);
    // The message refusing a text typed into the date box that names no date range; empty
    // when the box is empty or names one.
    std::string DateProblem() const;
    // Adds a query to the history, here and in the profile store.
    // Puts the search first in the history (the query with its indexes, date and filter).
    void RememberSearch(const SearchRequest& search);

signals:
    // The Search button was pressed (it reads "Stop" while a request runs).
    void searchPressed();
    // Ctrl+Enter in a field: a search, unless one runs.
    void searchWanted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void MoveToNextTabStop(QWidget* from);
    int DateIndex() const;

    QLineEdit* m_query = nullptr;
    QLineEdit* m_filename = nullptr;
    QCheckBox* m_index[kIndexBoxes] = {};
    QComboBox* m_date = nullptr;
    QPushButton* m_search = nullptr;
    QLabel* m_logo = nullptr;
    QList<QWidget*> m_tabStops;
    bool m_datesFilled = false;
    void LoadHistory();
    RecentSearches m_history;
    std::string m_historyPath;
    QStringListModel* m_historyModel = nullptr;
    QCompleter* m_completer = nullptr;
};
