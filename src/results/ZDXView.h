#pragma once
// The result list: the right-hand pane of the main window. One row per hit, columns, headings
// and widths from the settings, the hit's tip as the row's tool tip; a heading click sorts.
#include "results/ResultView.h"

#include <QWidget>

class CResultModel;
class QTreeView;

class CZDXView : public QWidget, public IResultView {
    Q_OBJECT
public:
    explicit CZDXView(QWidget* parent = nullptr);
    ~CZDXView() override;

    // Sets the columns from the settings (once, however often it runs) and the sort direction.
    void OnInitialUpdate();

    // IResultView
    void ClearTipMap() override;
    void DeleteAllItems() override;
    // ResultSink
    void AppendHit(HitRow&& hit) override;
    void SetHitCount(int count) override;
    void SetSignedInUser(const std::string& user) override;
    void ShowMessage(const std::string& text) override;

    // A heading click: flips the direction and sorts by that column.
    void OnColumnClick(int column);

    CResultModel* Model() const { return m_model; }
    QTreeView* DetailsView() const { return m_details; }

private:
    CResultModel* m_model = nullptr;
    QTreeView* m_details = nullptr;
    bool m_columnsInserted = false;
};
