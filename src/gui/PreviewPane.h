#pragma once
// The preview beside the list: the selected hit's text with the matched words highlighted (a
// colour a word), "Match 3 of 17" above it and F3 / Shift+F3 to go from one to the next. The
// text is loaded off the window's thread; a new selection cancels the load under way, so that
// at most one request is in flight and only the latest selection waits for it.
#include "config/Settings.h"
#include "net/FetchPage.h"
#include "search/HitText.h"

#include <QWidget>
#include <memory>
#include <mutex>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QThread;
class QToolButton;

class PreviewPane : public QWidget {
    Q_OBJECT
public:
    explicit PreviewPane(QWidget* parent = nullptr);
    ~PreviewPane() override;

    // Shows the text of the hit with `link`, the words of `query` marked (`hitMatches`: the
    // words the service named for the hit, blank-separated).
    void ShowHit(const std::string& link, const std::string& query, const std::string& hitMatches,
                 const Settings& settings);
    void Clear();
    void NextMatch();
    void PreviousMatch();

    // For tests and the window: what the pane shows.
    QPlainTextEdit* TextView() const { return m_text; }
    QString MatchLabel() const;
    // The page in view (1 for a text without pages), and the button that opens the hit there.
    int PageInView() const;
    QToolButton* OpenPageButton() const { return m_openPage; }
    int MatchCount() const { return static_cast<int>(m_places.size()); }
    bool Loading() const { return m_worker != nullptr; }
    // Loads started since the pane was made, and loads cancelled before they ended.
    int LoadsStarted() const { return m_started; }
    int LoadsCancelled() const { return m_cancelled; }

signals:
    void loaded(); // a text (or why there is none) is on the screen

private:
    struct Request {
        std::string link, query, hitMatches;
        Settings settings;
    };
    void StartNext();
    void OnWorkerDone();
    void Show(const HitText& hit);
    void GoTo(int match);
    // Marks the places in view (marking all of a long text would lay all of it out).
    void MarkVisible();
    // The text as the view shows it: with a line "Page N" before each page of a text of pages
    // (`pageStarts`: where each page after the first starts); `shifts` gets how far each page's
    // text moved.
    QString PagedText(const QString& text, const std::vector<int>& pageStarts,
                      std::vector<int>& shifts);
    void OpenAtPage();

    QLabel* m_status = nullptr;
    QToolButton* m_previous = nullptr;
    QToolButton* m_next = nullptr;
    QToolButton* m_openPage = nullptr;
    QPlainTextEdit* m_text = nullptr;

    std::unique_ptr<Request> m_pending; // the latest selection, when a load is under way
    QThread* m_worker = nullptr;
    std::shared_ptr<CancelToken> m_cancel;
    std::shared_ptr<HitText> m_result; // what the worker fills
    std::string m_loadingLink, m_link; // the hit being loaded, and the one shown
    bool m_stale = false;              // the load under way is for an earlier selection

    struct Place {
        int begin = 0, end = 0; // characters of the text shown
        int word = 0;
        int page = 1;
    };
    std::vector<Place> m_places;
    int m_current = -1;
    int m_pages = 1;
    std::vector<int> m_pageLines; // where each "Page N" line is, for a text of pages
    QString m_note;               // "only the first 4 MB" and the like
    int m_started = 0, m_cancelled = 0;
};
