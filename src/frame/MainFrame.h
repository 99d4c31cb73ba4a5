#pragma once
// The single top-level window: the search form and the result list side by side in a splitter,
// and the status bar through which the rest of the program reports.
#include "app/ZDXApp.h"

#include <QMainWindow>

class CLeftView;
class CZDXView;
class QLabel;
class QSplitter;

class CMainFrame : public QMainWindow, public IStatusPanes {
    Q_OBJECT
public:
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The first update of the panes, as for a new document.
    void OnInitialUpdate();

    // Status panes: 0 message, 1 CAP, 2 NUM, 3 SCRL, 4 AUTH, 5 HITS. Each setter's text is on
    // the screen when it returns, also while a request keeps the program busy.
    void SetStatusText(const std::string& text) override;
    void SetAuthText(const std::string& text) override;
    void SetHitCount(int count) override;

    static constexpr int kPaneCount = 6;
    QLabel* Pane(int i) const { return m_panes[i]; }
    QSplitter* Splitter() const { return m_splitter; }
    CZDXView* GetRightPane() const { return m_resultView; }
    CLeftView* GetLeftPane() const { return m_leftView; }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateStatusBar();
    void UpdateKeyIndicators();

    QSplitter* m_splitter = nullptr;
    CLeftView* m_leftView = nullptr;
    CZDXView* m_resultView = nullptr;
    QLabel* m_panes[kPaneCount] = {};
};
