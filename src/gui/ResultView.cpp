#include "gui/ResultView.h"

#include "config/Application.h"
#include "diag/ActivityLog.h"
#include "gui/FileChecker.h"
#include "gui/MessageBox.h"
#include "gui/RecentlyUsed.h"
#include "gui/ResultActions.h"
#include "gui/ResultModel.h"
#include "results/Export.h"
#include "results/Sort.h"
#include "text/Codepage.h"
#include "text/StringTable.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QTextCharFormat>
#include <QTextLayout>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int kLargeIconCell = 120; // the width a large icon's title wraps in

// Large icons: each title wraps under its icon within a cell of fixed width, in as many lines
// as it needs, so that the whole title is shown.
constexpr int kMaxTitleLines = 3;

// A large icon's title under it: wrapped at word boundaries (or inside a word too long for a
// line) to at most three lines, the last one elided with "…" when more is left. Nothing is
// clipped at either side; the whole title is in the tip.
QStringList TitleLines(const QString& text, const QFont& font, int width) {
    QTextLayout layout(text, font);
    QTextOption wrap(Qt::AlignHCenter);
    wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(wrap);
    QStringList lines;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        if (lines.size() == kMaxTitleLines - 1) {
            const QString rest = text.mid(line.textStart());
            lines << QFontMetrics(font).elidedText(rest, Qt::ElideRight, width);
            break;
        }
        lines << text.mid(line.textStart(), line.textLength()).trimmed();
    }
    layout.endLayout();
    return lines;
}

class WrappedIconDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (option.decorationPosition != QStyleOptionViewItem::Top)
            return QStyledItemDelegate::sizeHint(option, index);
        const QStringList lines =
            TitleLines(index.data(Qt::DisplayRole).toString(), option.font, kLargeIconCell - 8);
        return QSize(kLargeIconCell,
                     option.decorationSize.height() +
                         static_cast<int>(lines.size()) * option.fontMetrics.lineSpacing() + 12);
    }
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (option.decorationPosition != QStyleOptionViewItem::Top)
            return QStyledItemDelegate::paint(painter, option, index);
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        const QStringList lines = TitleLines(item.text, item.font, kLargeIconCell - 8);
        item.text.clear(); // the style draws the icon and the selection; the lines come here
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
        const bool selected = item.state & QStyle::State_Selected;
        const int lineHeight = item.fontMetrics.lineSpacing();
        QRect text(item.rect.left() + 4, item.rect.top() + item.decorationSize.height() + 6,
                   item.rect.width() - 8, lineHeight * static_cast<int>(lines.size()));
        painter->save();
        if (selected)
            painter->fillRect(text, item.palette.brush(QPalette::Highlight));
        painter->setPen(item.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        painter->setFont(item.font);
        for (const QString& line : lines) {
            painter->drawText(QRect(text.left(), text.top(), text.width(), lineHeight),
                              Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, line);
            text.setTop(text.top() + lineHeight);
        }
        painter->restore();
    }
};

// Description cells with the words the search matched in bold; the cell is otherwise drawn as
// any other (selection, focus, colours), and its text stays the model's, for sorting and copying.
class MatchDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QVariantList spans = index.data(ResultModel::MatchSpansRole).toList();
        if (spans.isEmpty())
            return QStyledItemDelegate::paint(painter, option, index);
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
        const QRect rect = style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget)
                               .adjusted(margin, 0, -margin, 0);
        const QString text = item.text;
        item.text.clear(); // the style draws the cell; the text comes here
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
        QTextCharFormat bold;
        bold.setFontWeight(QFont::Bold);
        QList<QTextLayout::FormatRange> formats;
        for (const QVariant& span : spans) {
            const QPoint p = span.toPoint();
            formats.append({p.x(), p.y(), bold});
        }
        QTextLayout layout(text, item.font);
        layout.setFormats(formats);
        layout.beginLayout();
        QTextLine line = layout.createLine();
        line.setLineWidth(1e6); // one line, cut at the cell's edge
        layout.endLayout();
        painter->save();
        painter->setClipRect(rect);
        const bool selected = item.state & QStyle::State_Selected;
        painter->setPen(item.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));
        layout.draw(painter,
                    QPointF(rect.left(), rect.top() + (rect.height() - line.height()) / 2));
        painter->restore();
    }
};

constexpr int kMaxColumnWidth = 10000;
constexpr std::size_t kMaxLoggedLaunch = 255;
// The source the activity log names for a hit opened from the list: the log's fixed text for
// it, which readers of existing logs look for, so it keeps its old spelling.
constexpr const char* kOpenedHitLogSource = "OnLButtonDblClk()";
} // namespace

ResultView::ResultView(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("resultView"));
    m_model = new ResultModel(this);

    m_details = new QTreeView(this);
    m_details->setAccessibleName(tr("Hits"));
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
    m_details->setIconSize(QSize(16, 16));
    m_details->setItemDelegate(new MatchDelegate(m_details));
    m_details->header()->setSectionsClickable(true);
    m_details->header()->setSectionsMovable(false);
    m_details->header()->setStretchLastSection(false);
    m_details->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    connect(m_details->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { OnColumnClick(column); });

    // The other three styles show the same rows and selection.
    m_icons = new QListView(this);
    m_icons->setAccessibleName(tr("Hits"));
    m_icons->setObjectName(QStringLiteral("resultIcons"));
    m_icons->setModel(m_model);
    m_icons->setSelectionModel(m_details->selectionModel());
    connect(m_details->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &ResultView::AnnounceCurrentHit);
    m_icons->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_icons->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_icons->setItemDelegate(new WrappedIconDelegate(m_icons));

    m_stack = new QStackedWidget(this);
    m_stack->addWidget(m_details);
    m_stack->addWidget(m_icons);
    // Refining the loaded hits: every typed word must occur in a row's cells.
    m_filter = new QLineEdit(this);
    m_filter->setObjectName(QStringLiteral("filterEdit"));
    m_filter->setPlaceholderText(tr("Refine the hits shown (Ctrl+F)"));
    m_filter->setClearButtonEnabled(true);
    m_filter->installEventFilter(this);
    connect(m_filter, &QLineEdit::textChanged, this, [this](const QString& text) {
        m_model->SetFilter(text.toStdString());
        emit shownRowsChanged(m_model->rowCount(), static_cast<int>(m_model->Table().RowCount()),
                              m_model->Filtered());
    });
    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] {
        if (m_model->Filtered())
            emit shownRowsChanged(m_model->rowCount(),
                                  static_cast<int>(m_model->Table().RowCount()), true);
    });
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(CreateMessageBar());
    layout->addWidget(m_filter);
    layout->addWidget(m_stack);

    m_emptyNote = new QLabel(tr("No documents found"), this);
    m_emptyNote->setObjectName(QStringLiteral("emptyNote"));
    m_emptyNote->setAlignment(Qt::AlignCenter);
    m_emptyNote->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_emptyNote->setStyleSheet(QStringLiteral("color: gray"));
    m_emptyNote->hide();
    connect(m_model, &QAbstractItemModel::rowsInserted, m_emptyNote, &QWidget::hide);

    // Whether the files of the rows on the screen still exist, looked up off this thread.
    m_checker = new FileChecker(this);
    connect(m_checker, &FileChecker::checked, this, [this](const QString& path, bool exists) {
        if (!exists)
            MarkGone(path.toStdString());
    });
    m_checkTimer = new QTimer(this);
    m_checkTimer->setInterval(300);
    connect(m_checkTimer, &QTimer::timeout, this, [this] { CheckVisibleRows(); });
    m_checkTimer->start();

    CreateContextMenu();

    for (QAbstractItemView* view :
         {static_cast<QAbstractItemView*>(m_details), static_cast<QAbstractItemView*>(m_icons)}) {
        // Hits drag out as files; nothing is dropped into the list.
        view->setDragEnabled(true);
        view->setDragDropMode(QAbstractItemView::DragOnly);
        view->setDefaultDropAction(Qt::CopyAction);
        view->installEventFilter(this);
        view->viewport()->installEventFilter(this);
    }
}

// Open, Copy, Delete and Open containing folder, for the right mouse button and the Menu key.
void ResultView::CreateContextMenu() {
    m_contextMenu = new QMenu(tr("Context"), this);
    m_contextMenu->setObjectName(QStringLiteral("contextMenu"));
    // Open first, in bold, as the double-click and Enter do it.
    QAction* open = m_contextMenu->addAction(tr("&Open"), this, &ResultView::OpenFirstSelected);
    open->setObjectName(QStringLiteral("contextOpen"));
    m_contextMenu->setDefaultAction(open);
    QAction* copy = m_contextMenu->addAction(tr("&Copy"), this, &ResultView::OnCopy);
    copy->setObjectName(QStringLiteral("contextCopy"));
    QAction* remove = m_contextMenu->addAction(tr("&Delete"), this, &ResultView::OnDelete);
    remove->setObjectName(QStringLiteral("contextDelete"));
    QAction* folder =
        m_contextMenu->addAction(tr("Open containing &folder"), this, &ResultView::OnOpenFolder);
    folder->setObjectName(QStringLiteral("contextOpenFolder"));
}

void ResultView::AnnounceCurrentHit() {
    const QModelIndex current = m_details->selectionModel()->currentIndex();
    if (!current.isValid() || current.row() >= m_model->rowCount())
        return emit currentHitChanged({}, {});
    const std::size_t row = m_model->TableRow(current.row());
    emit currentHitChanged(std::string(m_model->Table().Link(row)),
                           std::string(m_model->Table().Matches(row)));
}

ResultView::~ResultView() {}

void ResultView::SetUp(const Settings& settings) {
    m_sortForward = true;
    m_sorted = false;
    // A repeated initial update (a new document in the same window) keeps the columns it has.
    if (m_columnsInserted)
        return;
    m_columnsInserted = true;
    m_headings = settings.Headings();
    QStringList headings;
    for (const std::string& heading : m_headings)
        headings.push_back(QString::fromStdString(heading));
    m_model->SetColumns(settings.Layout(), headings);
    for (int i = 0; i < settings.columns; ++i)
        m_details->header()->resizeSection(
            i, std::clamp(settings.headingWidth[i], 0, kMaxColumnWidth));
}

void ResultView::ClearTips() {
    m_model->ClearTips();
}

void ResultView::CheckVisibleRows() {
    if (!isVisible() || m_model->rowCount() == 0)
        return;
    QAbstractItemView* view = CurrentView();
    const QRect area = view->viewport()->rect();
    int first = view->indexAt(area.topLeft()).row();
    if (first < 0)
        first = 0;
    int last = view->indexAt(area.bottomLeft()).row();
    if (last < 0 || m_style != ListStyle::Details)
        last = std::min(m_model->rowCount() - 1, first + 300);
    for (int row = first; row <= last && row - first < 300; ++row) {
        const std::string link = LinkOfRow(row);
        if (!link.empty() && !IsUrlLink(link))
            m_checker->Check(link);
    }
}

QWidget* ResultView::CreateMessageBar() {
    m_messageBar = new QFrame(this);
    m_messageBar->setObjectName(QStringLiteral("messageBar"));
    m_messageBar->setAccessibleName(tr("Message"));
    m_messageBar->setFrameShape(QFrame::StyledPanel);
    m_messageBar->setStyleSheet(QStringLiteral(
        "#messageBar { background: #fff4ce; } #messageBar QLabel { color: #1f1f1f; }"));
    m_messageText = new QLabel(m_messageBar);
    m_messageText->setObjectName(QStringLiteral("messageBarText"));
    m_messageText->setTextFormat(Qt::PlainText);
    m_messageText->setWordWrap(true);
    m_messageText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* close = new QToolButton(m_messageBar);
    close->setObjectName(QStringLiteral("messageBarClose"));
    close->setText(QStringLiteral("\u2715"));
    close->setAccessibleName(tr("Close the message"));
    close->setToolTip(tr("Close the message"));
    connect(close, &QToolButton::clicked, this, &ResultView::HideMessageBar);
    m_undoButton = new QPushButton(tr("&Undo"), m_messageBar);
    m_undoButton->setObjectName(QStringLiteral("messageBarUndo"));
    m_undoButton->hide();
    connect(m_undoButton, &QPushButton::clicked, this, [this] {
        auto undo = std::move(m_undo);
        HideMessageBar();
        if (undo)
            undo();
    });
    m_undoTimer = new QTimer(this);
    m_undoTimer->setSingleShot(true);
    m_undoTimer->setInterval(10000);
    connect(m_undoTimer, &QTimer::timeout, this, [this] {
        if (m_undo)
            HideMessageBar();
    });
    auto* row = new QHBoxLayout(m_messageBar);
    row->setContentsMargins(6, 4, 4, 4);
    row->addWidget(m_messageText, 1);
    row->addWidget(m_undoButton, 0, Qt::AlignTop);
    row->addWidget(close, 0, Qt::AlignTop);
    m_messageBar->hide();
    return m_messageBar;
}

void ResultView::ShowMessageBar(const std::string& text, std::function<void()> undo) {
    m_messageText->setText(QString::fromStdString(text));
    m_messageBar->setAccessibleDescription(m_messageText->text());
    m_undo = std::move(undo);
    m_undoButton->setVisible(static_cast<bool>(m_undo));
    if (m_undo)
        m_undoTimer->start();
    m_messageBar->show();
}

void ResultView::HideMessageBar() {
    m_undo = nullptr;
    m_undoButton->hide();
    m_messageBar->hide();
}

void ResultView::MarkGone(const std::string& path) {
    // Only the rows on the screen can show the change; the others read it when shown.
    if (m_model->MarkMissing(path))
        CurrentView()->viewport()->update();
}

bool ResultView::SaysFileIsGone(const std::string& link) {
    if (link.empty() || IsUrlLink(link) || !m_model->IsMissing(link))
        return false;
    ShowMessageBox(ResultModel::kMissingText, MessageKind::Ok, window());
    return true;
}

void ResultView::Clear() {
    m_checker->Forget();
    m_emptyNote->hide();
    m_model->Clear();
}

void ResultView::ShowEmptyNote(bool show) {
    m_emptyNote->setGeometry(rect().adjusted(0, 30, 0, 0));
    m_emptyNote->setVisible(show);
    m_emptyNote->raise();
}

// The list's description is what the last search came to: a screen reader reports the change
// (this Qt has no announcement event of its own) and reads it with the list.
void ResultView::Announce(const QString& text) {
    m_details->setAccessibleDescription(text);
    m_icons->setAccessibleDescription(text);
}

void ResultView::AppendHit(HitRow&& hit) {
    m_model->Append(std::move(hit));
}

void ResultView::SetStatus(const std::string& text) {
    if (m_host)
        m_host->SetStatusText(text);
}

void ResultView::SetHitCount(int count) {
    if (m_host)
        m_host->SetHitCount(count);
}

void ResultView::SetSignedInUser(const std::string& user) {
    if (m_host)
        m_host->SetSignedInUser(user);
}

void ResultView::ShowMessage(const std::string& text) {
    // The rows read so far are shown before the box blocks the page.
    m_model->FlushPendingRows();
    ShowMessageBox(text, MessageKind::Ok, window());
}

void ResultView::OnColumnClick(int column) {
    m_sortForward = !m_sortForward;
    m_sortColumn = column;
    m_sorted = true;
    m_model->SortByColumn(m_sortColumn, m_sortForward);
}

void ResultView::SetSort(int column, bool forward) {
    if (column < 0 || column >= m_model->columnCount())
        return;
    m_sortColumn = column;
    m_sortForward = forward;
    m_sorted = true;
    m_model->SortByColumn(m_sortColumn, m_sortForward);
}

QAbstractItemView* ResultView::CurrentView() const {
    return m_style == ListStyle::Details ? static_cast<QAbstractItemView*>(m_details)
                                         : static_cast<QAbstractItemView*>(m_icons);
}

void ResultView::SetListStyle(ListStyle style) {
    const bool hadFocus = CurrentView()->hasFocus();
    m_style = style;
    // The icon and list styles show each hit's whole title (up to the display cut), whatever
    // the columns. Every property is set for each style, so that no earlier style leaves its
    // flow or spacing behind.
    m_model->SetTitleMode(style != ListStyle::Details);
    if (m_model->Filtered())
        emit shownRowsChanged(m_model->rowCount(), static_cast<int>(m_model->Table().RowCount()),
                              true);
    m_icons->setUniformItemSizes(false);
    m_icons->setLayoutMode(QListView::Batched);
    m_icons->setBatchSize(1000);
    m_icons->setTextElideMode(Qt::ElideNone);
    m_icons->setResizeMode(QListView::Adjust);
    m_icons->setGridSize(QSize());
    switch (style) {
    case ListStyle::Details:
        m_stack->setCurrentWidget(m_details);
        break;
    case ListStyle::LargeIcons:
        m_icons->setViewMode(QListView::IconMode);
        m_icons->setFlow(QListView::LeftToRight);
        m_icons->setWrapping(true);
        m_icons->setIconSize(QSize(32, 32));
        m_icons->setSpacing(6);
        m_icons->setMovement(QListView::Static);
        m_icons->setWordWrap(true);
        // Titles wrap under the icon (WrappedIconDelegate), as many lines as they need.
        m_stack->setCurrentWidget(m_icons);
        break;
    case ListStyle::SmallIcons:
        m_icons->setViewMode(QListView::ListMode);
        m_icons->setFlow(QListView::LeftToRight);
        m_icons->setWrapping(true);
        m_icons->setIconSize(QSize(16, 16));
        m_icons->setSpacing(4);
        m_icons->setMovement(QListView::Static);
        m_icons->setWordWrap(false);
        m_stack->setCurrentWidget(m_icons);
        break;
    case ListStyle::List:
        m_icons->setViewMode(QListView::ListMode);
        m_icons->setFlow(QListView::TopToBottom);
        m_icons->setWrapping(true);
        m_icons->setIconSize(QSize(16, 16));
        m_icons->setSpacing(2);
        m_icons->setMovement(QListView::Static);
        m_icons->setWordWrap(false);
        m_stack->setCurrentWidget(m_icons);
        break;
    }
    if (hadFocus)
        CurrentView()->setFocus();
}

void ResultView::LineUp() {
    if (m_style == ListStyle::LargeIcons || m_style == ListStyle::SmallIcons)
        m_icons->doItemsLayout();
}

int ResultView::FirstSelectedRow() const {
    m_model->FlushPendingRows();
    int first = -1;
    for (const QModelIndex& index : m_details->selectionModel()->selectedRows())
        if (first < 0 || index.row() < first)
            first = index.row();
    if (first < 0) // in the icon styles a row is selected by its one cell
        for (const QModelIndex& index : m_details->selectionModel()->selectedIndexes())
            if (first < 0 || index.row() < first)
                first = index.row();
    return first;
}

std::string ResultView::LinkOfRow(int row) const {
    // The hit's own link, whether or not a column shows it.
    return std::string(m_model->Table().Link(m_model->TableRow(row)));
}

void ResultView::OpenFirstSelected() {
    const int row = FirstSelectedRow();
    if (row < 0)
        return; // nothing selected: nothing to open
    const std::string link = LinkOfRow(row);
    if (link.empty())
        return; // a hit without a link has nothing to open
    if (SaysFileIsGone(link))
        return;
    const int result = LaunchLink(link);
    if (ProcessLog().Enabled()) {
        const std::string text = StringPrintf("ShellExecute(%s) returned %d", link.c_str(), result);
        ProcessLog().Write(kOpenedHitLogSource,
                           text.substr(0, Utf8PrefixBytes(text, kMaxLoggedLaunch)));
    }
    if (result <= 32)
        SetStatus(StringPrintf(Text(TextId::LaunchError).c_str(), result, link.c_str()));
    else if (!IsUrlLink(link))
        AddToRecentlyUsed(link); // file dialogs elsewhere offer it too
}

void ResultView::OnCopy() {
    const int row = FirstSelectedRow();
    if (row < 0 || LinkOfRow(row).empty() || SaysFileIsGone(LinkOfRow(row)))
        return; // the clipboard is left alone
    CopyLinkToClipboard(LinkOfRow(row));
}

void ResultView::OnDelete() {
    const int row = FirstSelectedRow();
    if (row < 0 || LinkOfRow(row).empty() || SaysFileIsGone(LinkOfRow(row)))
        return;
    const std::string link = LinkOfRow(row);
    if (ShowMessageBox(StringPrintf(Text(TextId::ReallyDelete).c_str(), link.c_str()),
                       MessageKind::YesNoSafe, window()) != Answer::Yes)
        return;
    const std::string name = QFileInfo(QString::fromStdString(link)).fileName().toStdString();
    std::string trashed;
    switch (TrashLinkedFile(link, trashed)) {
    case TrashOutcome::Moved: {
        MarkGone(link);
        const std::string done = "Moved to the Trash: " + name;
        SetStatus(done);
        ShowMessageBar(done, [this, trashed, link, name] {
            if (!RestoreFromTrash(trashed, link)) {
                ShowMessageBar(name + " could not be put back: its place is taken, or it has "
                                      "left the Trash.");
                return;
            }
            if (m_model->MarkPresent(link))
                CurrentView()->viewport()->update();
            SetStatus("Put back from the Trash: " + name);
        });
        return;
    }
    case TrashOutcome::NoTrash:
        // No Trash on that volume: deleting for good is offered, saying so.
        if (ShowMessageBox(name + " is on a volume without a Trash. Delete it for good? This "
                                  "cannot be undone.",
                           MessageKind::YesNoSafe, window()) == Answer::Yes)
            DeleteForGood(link);
        return;
    case TrashOutcome::Failed:
        break;
    }
    ShowMessageBox(StringPrintf("Failed to delete %s", link.c_str()), MessageKind::Ok, window());
}

void ResultView::OnDeleteForGood() {
    const int row = FirstSelectedRow();
    if (row < 0 || LinkOfRow(row).empty() || SaysFileIsGone(LinkOfRow(row)))
        return;
    const std::string link = LinkOfRow(row);
    if (ShowMessageBox("Delete " + link + " for good? This cannot be undone.",
                       MessageKind::YesNoSafe, window()) == Answer::Yes)
        DeleteForGood(link);
}

void ResultView::DeleteForGood(const std::string& link) {
    if (!DeleteLinkedFile(link)) {
        ShowMessageBox(StringPrintf("Failed to delete %s", link.c_str()), MessageKind::Ok,
                       window());
        return;
    }
    // The row and its tip stay, marked as linking to a file that is gone.
    MarkGone(link);
}

QPoint ResultView::KeyboardMenuPosition() const {
    QAbstractItemView* view = CurrentView();
    const int row = FirstSelectedRow();
    QRect rect;
    if (row >= 0)
        rect = view->visualRect(m_model->index(row, 0));
    if (!rect.isValid() || !view->viewport()->rect().intersects(rect))
        return view->viewport()->mapToGlobal(QPoint(0, 0));
    return view->viewport()->mapToGlobal(rect.bottomLeft());
}

void ResultView::UpdateContextMenu() {
    // A hit without a link offers nothing to act on; only a local file has a folder to open.
    const int row = FirstSelectedRow();
    const std::string link = row >= 0 ? LinkOfRow(row) : std::string();
    for (QAction* action : m_contextMenu->actions())
        action->setEnabled(!link.empty());
    m_contextMenu->findChild<QAction*>(QStringLiteral("contextOpenFolder"))
        ->setEnabled(!link.empty() && !IsUrlLink(link));
}

void ResultView::OnOpenFolder() {
    const int row = FirstSelectedRow();
    const std::string link = row >= 0 ? LinkOfRow(row) : std::string();
    if (link.empty() || IsUrlLink(link))
        return;
    if (!OpenContainingFolder(link))
        SetStatus("The folder of " + link + " could not be opened.");
}

void ResultView::OnExport() {
    bool csv = true;
    const std::string path = AskExportPath(csv, window());
    if (path.empty())
        return;
    m_model->FlushPendingRows();
    // The rows shown now; a search under way may add more to the list meanwhile.
    const std::vector<std::uint32_t> rows = m_model->ShownTableRows();
    ExportWriter writer(path, csv ? ExportFormat::Csv : ExportFormat::Tsv, m_headings);
    std::string error;
    bool written = writer.Begin(error);
    // A slice at a time, the window answering in between; a long export shows its progress
    // and can be cancelled (the file is then left as it was).
    QProgressDialog progress(tr("Exporting the hits..."), tr("Cancel"), 0,
                             static_cast<int>(rows.size()), window());
    progress.setObjectName(QStringLiteral("exportProgress"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    constexpr std::size_t kSlice = 20000;
    for (std::size_t done = 0; written && done < rows.size(); done += kSlice) {
        written = writer.WriteRows(m_model->Table(), rows.data() + done,
                                   std::min(kSlice, rows.size() - done), error);
        progress.setValue(static_cast<int>(std::min(done + kSlice, rows.size())));
        if (progress.wasCanceled()) {
            SetStatus("Export cancelled; " + path + " was not written.");
            return;
        }
    }
    written = written && writer.Finish(error);
    if (!written)
        ShowMessageBox("The hits could not be written to " + path + ": " + error + ".",
                       MessageKind::Ok, window());
    else
        SetStatus(std::to_string(rows.size()) + " hits exported to " + path);
}

void ResultView::OnContextMenu(const QPoint& globalPos, bool fromKeyboard) {
    UpdateContextMenu();
    m_contextMenu->exec(fromKeyboard ? KeyboardMenuPosition() : globalPos);
}

bool ResultView::eventFilter(QObject* watched, QEvent* event) {
    const bool onViewport = watched == m_details->viewport() || watched == m_icons->viewport();
    switch (event->type()) {
    case QEvent::ShortcutOverride:
        // Escape in a filter with text clears it, rather than stopping a search.
        if (watched == m_filter && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape &&
            !m_filter->text().isEmpty()) {
            event->accept();
            return true;
        }
        break;
    case QEvent::MouseButtonDblClick:
        // The double-click is the list's own; its default handling goes on afterwards.
        if (onViewport && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            OpenFirstSelected();
        break;
    case QEvent::ContextMenu: {
        auto* menu = static_cast<QContextMenuEvent*>(event);
        OnContextMenu(menu->globalPos(), menu->reason() == QContextMenuEvent::Keyboard);
        return true;
    }
    case QEvent::KeyPress: {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == m_filter) {
            if (key->key() == Qt::Key_Escape && !m_filter->text().isEmpty()) {
                m_filter->clear(); // Escape clears the filter
                return true;
            }
            break;
        }
        if (key->key() == Qt::Key_Menu ||
            (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
            OnContextMenu(QPoint(), true);
            return true;
        }
        // The keyboard does what the context menu does: Enter opens, Delete deletes (after the
        // same question), Ctrl+C copies the file (never the views' own text copy).
        if (key->matches(QKeySequence::Copy) ||
            (key->key() == Qt::Key_Insert && key->modifiers() == Qt::ControlModifier)) {
            OnCopy();
            return true;
        }
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers() == Qt::NoModifier) {
            OpenFirstSelected();
            return true;
        }
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
            OnDelete();
            return true;
        }
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::ShiftModifier) {
            OnDeleteForGood();
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}
