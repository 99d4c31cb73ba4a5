#include "results/ZDXView.h"

#include "app/ZDXApp.h"
#include "frame/MessageBox.h"
#include "results/ResultModel.h"
#include "results/Sort.h"

#include <QHeaderView>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

namespace {
constexpr int kMaxColumnWidth = 10000;
}

CZDXView::CZDXView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("resultView"));
    m_model = new CResultModel(this);
    m_details = new QTreeView(this);
    m_details->setObjectName(QStringLiteral("resultDetails"));
    m_details->setModel(m_model);
    m_details->setRootIsDecorated(false);
    m_details->setItemsExpandable(false);
    m_details->setUniformRowHeights(true);
    m_details->setAllColumnsShowFocus(true);
    m_details->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_details->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_details->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_details->setTextElideMode(Qt::ElideRight);
    m_details->header()->setSectionsClickable(true);
    m_details->header()->setSectionsMovable(false);
    m_details->header()->setStretchLastSection(false);
    m_details->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(m_details->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { OnColumnClick(column); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_details);
}

CZDXView::~CZDXView() {
    if (theApp.m_pResultView == this)
        theApp.m_pResultView = nullptr;
}

void CZDXView::OnInitialUpdate() {
    g_sortForward = true;
    // A repeated initial update (a new document in the same window) keeps the columns it has.
    if (m_columnsInserted)
        return;
    m_columnsInserted = true;
    QStringList headings;
    for (int i = 0; i < theApp.m_columns; ++i)
        headings.push_back(QString::fromStdString(theApp.m_heading[i]));
    m_model->SetColumns(theApp.Layout(), headings);
    for (int i = 0; i < theApp.m_columns; ++i)
        m_details->header()->resizeSection(
            i, std::clamp(theApp.m_headingWidth[i], 0, kMaxColumnWidth));
}

void CZDXView::ClearTipMap() {
    m_model->ClearTipMap();
}

void CZDXView::DeleteAllItems() {
    m_model->DeleteAllItems();
}

void CZDXView::AppendHit(HitRow&& hit) {
    m_model->Append(std::move(hit));
}

void CZDXView::SetHitCount(int count) {
    theApp.SetHitCount(count);
}

void CZDXView::SetSignedInUser(const std::string& user) {
    theApp.m_userName = user;
    theApp.SetAuthText(user);
}

void CZDXView::ShowMessage(const std::string& text) {
    // The rows read so far are shown before the box blocks the page.
    m_model->FlushPendingRows();
    ShowMessageBox(text, MessageKind::Ok, window());
}

void CZDXView::OnColumnClick(int column) {
    g_sortForward = !g_sortForward;
    g_sortColumn = column;
    m_model->SortByColumn(g_sortColumn, g_sortForward);
}
