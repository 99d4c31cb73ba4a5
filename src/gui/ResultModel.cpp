#include "gui/ResultModel.h"

#include "gui/Images.h"
#include "gui/ResultActions.h"
#include "results/RowFilter.h"
#include "text/Highlight.h"

#include <QColor>
#include <QPoint>
#include <QTimer>
#include <algorithm>
#include <set>

ResultModel::ResultModel(QObject* parent) : QAbstractTableModel(parent) {}

void ResultModel::SetColumns(const ColumnLayout& layout, const QStringList& headings) {
    beginResetModel();
    m_table.ClearRows();
    m_order.clear();
    m_table.SetLayout(layout);
    m_headings = headings;
    m_shownRows = 0;
    endResetModel();
}

void ResultModel::Append(HitRow&& hit) {
    if (m_table.RowCount() >= kMaxRows) {
        ++m_dropped;
        return;
    }
    m_table.Append(std::move(hit));
    const std::size_t added = m_table.RowCount() - 1;
    if (!m_words.empty() && !RowMatches(m_table, added, m_words, m_titleMode))
        return;
    m_order.push_back(static_cast<std::uint32_t>(added));
    if (m_order.size() - static_cast<std::size_t>(m_shownRows) >= kBatchRows) {
        FlushPendingRows();
    } else if (!m_flushQueued) {
        m_flushQueued = true;
        QTimer::singleShot(0, this, [this] { FlushPendingRows(); });
    }
}

void ResultModel::FlushPendingRows() {
    m_flushQueued = false;
    const int total = static_cast<int>(m_order.size());
    if (total <= m_shownRows)
        return;
    beginInsertRows(QModelIndex(), m_shownRows, total - 1);
    m_shownRows = total;
    endInsertRows();
}

void ResultModel::Clear() {
    beginResetModel();
    m_dropped = 0;
    m_missing.clear();
    m_table.ClearRows();
    std::vector<std::uint32_t>().swap(m_order);
    m_shownRows = 0;
    endResetModel();
}

void ResultModel::SortByColumn(int column, bool forward) {
    FlushPendingRows();
    const std::vector<std::uint32_t> order = m_table.SortOrder(column, forward);
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<std::uint32_t> newTableRowOf(order.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        newTableRowOf[order[i]] = static_cast<std::uint32_t>(i);
    m_table.ApplyOrder(order);
    // The shown rows in the new order, and where each lands in the views.
    std::vector<int> viewRowOf(order.size(), -1);
    std::vector<std::uint32_t> shown;
    shown.reserve(m_order.size());
    {
        std::vector<char> passes(order.size(), 0);
        for (std::uint32_t t : m_order)
            passes[newTableRowOf[t]] = 1;
        for (std::size_t t = 0; t < order.size(); ++t)
            if (passes[t]) {
                viewRowOf[t] = static_cast<int>(shown.size());
                shown.push_back(static_cast<std::uint32_t>(t));
            }
    }
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& index : before)
        after.push_back(
            this->index(viewRowOf[newTableRowOf[m_order[static_cast<std::size_t>(index.row())]]],
                        index.column()));
    m_order.swap(shown);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

Qt::ItemFlags ResultModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags flags = QAbstractTableModel::flags(index);
    if (index.isValid())
        flags |= Qt::ItemIsDragEnabled;
    return flags;
}

QStringList ResultModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list"), QStringLiteral("x-special/gnome-copied-files")};
}

QMimeData* ResultModel::mimeData(const QModelIndexList& indexes) const {
    std::set<int> rows;
    for (const QModelIndex& index : indexes)
        rows.insert(index.row());
    std::vector<std::string> links;
    for (int row : rows) {
        std::string link(m_table.Link(TableRow(row)));
        if (!link.empty() && !m_missing.count(link))
            links.push_back(std::move(link));
    }
    return links.empty() ? nullptr : LinksMimeData(links);
}

bool ResultModel::MarkMissing(const std::string& path) {
    return m_missing.insert(path).second;
}

bool ResultModel::MarkPresent(const std::string& path) {
    return m_missing.erase(path) > 0;
}

void ResultModel::SetFilter(const std::string& text) {
    std::vector<std::string> words = FilterWords(text);
    if (words == m_words)
        return;
    m_words = std::move(words);
    ApplyFilter();
}

void ResultModel::ApplyFilter() {
    beginResetModel();
    m_order.clear();
    for (std::size_t t = 0; t < m_table.RowCount(); ++t)
        if (m_words.empty() || RowMatches(m_table, t, m_words, m_titleMode))
            m_order.push_back(static_cast<std::uint32_t>(t));
    m_shownRows = static_cast<int>(m_order.size());
    endResetModel();
}

int ResultModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_shownRows;
}

int ResultModel::columnCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    const int columns = m_table.Layout().columns;
    return m_titleMode ? std::max(1, columns) : columns;
}

void ResultModel::SetTitleMode(bool on) {
    if (on == m_titleMode)
        return;
    const bool noColumns = m_table.Layout().columns == 0;
    if (noColumns && on)
        beginInsertColumns(QModelIndex(), 0, 0);
    if (noColumns && !on)
        beginRemoveColumns(QModelIndex(), 0, 0);
    m_titleMode = on;
    if (noColumns)
        on ? endInsertColumns() : endRemoveColumns();
    else if (m_shownRows > 0)
        emit dataChanged(index(0, 0), index(m_shownRows - 1, 0), {Qt::DisplayRole});
    // The filter matches what the style shows, the title included in the title styles.
    if (!m_words.empty())
        ApplyFilter();
}

QString ResultModel::Shown(std::string_view text) {
    // Read no more than the characters shown: a 50 MB field must not stall the view.
    const std::string_view head = text.substr(0, 4 * kMaxCellChars);
    return QString::fromUtf8(head.data(), static_cast<qsizetype>(head.size())).left(kMaxCellChars);
}

QVariantList ResultModel::ShownSpans(std::string_view text, std::string_view words) {
    QVariantList spans;
    if (words.empty())
        return spans;
    text = text.substr(0, 4 * kMaxCellChars);
    auto chars = [&](std::size_t bytes) {
        return static_cast<int>(
            QString::fromUtf8(text.data(), static_cast<qsizetype>(bytes)).size());
    };
    for (const TextSpan& s : MatchSpans(text, words)) {
        const int start = chars(s.begin), end = std::min(chars(s.end), kMaxCellChars);
        if (start < end)
            spans.append(QPoint(start, end - start));
    }
    return spans;
}

QString ResultModel::TipOf(int row) const {
    const std::size_t tableRow = TableRow(row);
    const std::optional<std::string_view> tip = m_table.Tip(m_table.ItemData(tableRow));
    if (!tip || tip->empty())
        return {};
    // At most kMaxTipChars characters.
    std::string_view head = tip->substr(0, 4 * kMaxTipChars);
    const QString whole = QString::fromUtf8(head.data(), static_cast<qsizetype>(head.size()));
    if (whole.size() > kMaxTipChars)
        head = head.substr(
            0, std::min<std::size_t>(head.size(), whole.left(kMaxTipChars).toUtf8().size()));
    // Server text is never taken for markup: it is escaped, its line breaks kept. The first
    // line is the description: the words the search matched stand out in bold there.
    const std::string_view description = head.substr(0, head.find("\r\n"));
    QString html;
    std::size_t done = 0;
    auto plain = [&](std::size_t to) {
        html += QString::fromUtf8(head.data() + done, static_cast<qsizetype>(to - done))
                    .toHtmlEscaped();
        done = to;
    };
    for (const TextSpan& s : MatchSpans(description, m_table.Matches(tableRow))) {
        plain(s.begin);
        html += QStringLiteral("<b>");
        plain(s.end);
        html += QStringLiteral("</b>");
    }
    plain(head.size());
    html.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return QStringLiteral("<p style='white-space:pre'>") + html + QStringLiteral("</p>");
}

QVariant ResultModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_shownRows)
        return {};
    const std::size_t row = TableRow(index.row());
    switch (role) {
    case Qt::DisplayRole:
        if (m_titleMode && index.column() == 0)
            return Shown(m_table.Title(row));
        return Shown(m_table.Cell(row, index.column()));
    case Qt::ToolTipRole: {
        // The title styles may cut a title: the tip starts with all of it.
        const QString title = m_titleMode ? QStringLiteral("<p><b>") +
                                                Shown(m_table.Title(row)).toHtmlEscaped() +
                                                QStringLiteral("</b></p>")
                                          : QString();
        if (!m_missing.empty() && m_missing.count(std::string(m_table.Link(row))))
            return title + TipOf(index.row()) + QStringLiteral("<p>") + tr(kMissingText) +
                   QStringLiteral("</p>");
        return title + TipOf(index.row());
    }
    case Qt::ForegroundRole:
        if (!m_missing.empty() && m_missing.count(std::string(m_table.Link(row))))
            return QColor(Qt::gray);
        return {};
    case Qt::DecorationRole:
        if (index.column() != 0)
            return {};
        return FileTypeIcon(QString::fromUtf8(
            m_table.FileType(row).data(), static_cast<qsizetype>(m_table.FileType(row).size())));
    case ItemDataRole:
        return m_table.ItemData(row);
    case MatchSpansRole: {
        const int column = index.column();
        if ((m_titleMode && column == 0) || column >= m_table.Layout().columns ||
            m_table.Layout().field[column] != kDescription)
            return {};
        return ShownSpans(m_table.Cell(row, column), m_table.Matches(row));
    }
    default:
        return {};
    }
}

QVariant ResultModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_headings.size())
        return {};
    return m_headings[section];
}
