#pragma once
// The item model of the result list over the core's ResultTable. Rows appended while a page is
// read are announced to the views in batches, not one by one.
#include "results/ResultTable.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <unordered_set>

class ResultModel : public QAbstractTableModel {
    Q_OBJECT
public:
    // Item datum of a row, as an int.
    static constexpr int ItemDataRole = Qt::UserRole;
    // Where a description cell holds the words the search matched: a list of QPoint(start,
    // length) in the characters shown; empty for other cells.
    static constexpr int MatchSpansRole = Qt::UserRole + 1;
    // What a cell shows is cut here; the data itself stays whole.
    static constexpr int kMaxCellChars = 259;
    static constexpr int kMaxTipChars = 1023;
    static constexpr std::size_t kBatchRows = 4096;
    // The most rows the list holds: enough for any real result, and a bound on the window's
    // memory whatever a page holds (a page of short lines at the 256 MiB cap has 30 million).
    static constexpr std::size_t kMaxRows = 1000000;

    explicit ResultModel(QObject* parent = nullptr);

    void SetColumns(const ColumnLayout& layout, const QStringList& headings);

    // Adds a row; views learn of it with the next batch, at the latest when control returns
    // to the event loop or FlushPendingRows is called.
    void Append(HitRow&& hit);
    void FlushPendingRows();
    // The hits that did not fit since the list was last emptied.
    std::size_t DroppedRows() const { return m_dropped; }
    void AddDroppedRows(std::size_t count) { m_dropped += count; }
    void Clear();
    void ClearTips() { m_table.ClearTips(); }

    // In title mode (the icon and list styles) the first column shows each hit's title, and
    // there is a first column even when the settings ask for none.
    void SetTitleMode(bool on);
    bool TitleMode() const { return m_titleMode; }

    // Sorts the rows by a column's texts, keeping selections and other persistent indexes.
    void SortByColumn(int column, bool forward);

    const ResultTable& Table() const { return m_table; }
    // The table row a row of the views shows.
    std::size_t TableRow(int row) const { return m_order[static_cast<std::size_t>(row)]; }
    // The table rows shown (all that pass the filter), in the views' order.
    const std::vector<std::uint32_t>& ShownTableRows() const { return m_order; }

    // Marks the rows that link to `path` as linking to a file that no longer exists: greyed,
    // with a last tip line saying so. Rows read the mark when they are painted, so nothing
    // walks the rows here (a million of them would stall the window for each path); the views
    // repaint what they show. True when the path was not marked before.
    bool MarkMissing(const std::string& path);
    // The file is back (taken out of the Trash): its rows are shown as usual again.
    bool MarkPresent(const std::string& path);
    bool IsMissing(const std::string& path) const { return m_missing.count(path) > 0; }
    static constexpr const char* kMissingText = "This file no longer exists.";

    // Shows only the rows whose cells hold every word of `text`; an empty text shows all.
    void SetFilter(const std::string& text);
    bool Filtered() const { return !m_words.empty(); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    // Hits drag out as their files (several at once), as Copy puts them on the clipboard.
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // The tip of a row as shown: escaped, line breaks kept, cut to kMaxTipChars.
    QString TipOf(int row) const;
    // What a cell shows of a text: the first kMaxCellChars characters.
    static QString Shown(std::string_view text);
    // The places of the matched `words` in what a cell shows of `text`.
    static QVariantList ShownSpans(std::string_view text, std::string_view words);

private:
    void ApplyFilter();

    ResultTable m_table;
    QStringList m_headings;
    int m_shownRows = 0; // rows the views know of
    bool m_flushQueued = false;
    bool m_titleMode = false;
    std::vector<std::string> m_words;          // of the filter
    std::vector<std::uint32_t> m_order;        // table rows that pass the filter, in table order
    std::unordered_set<std::string> m_missing; // links to files that are gone
    std::size_t m_dropped = 0;
};
