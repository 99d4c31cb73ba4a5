#include "results/ResultTable.h"

#include "results/Sort.h"
#include "text/Codepage.h"

namespace {
constexpr std::size_t kMaxTypeLength = 15;

std::string TypeOf(const std::string& filename) {
    const std::size_t dot = filename.rfind('.');
    if (dot == std::string::npos || filename.size() - dot - 1 > kMaxTypeLength)
        return {};
    std::string type = filename.substr(dot + 1);
    for (char& c : type)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return type;
}
} // namespace

void ResultTable::SetLayout(const ColumnLayout& layout) {
    m_layout = layout;
    m_titleColumn = m_linkColumn = -1;
    for (int i = 0; i < m_layout.columns; ++i) {
        if (m_layout.field[i] == kTitle && m_titleColumn < 0)
            m_titleColumn = i;
        if (m_layout.field[i] == kLink)
            m_linkColumn = i;
    }
}

std::string_view ResultTable::Segment(const Row& row, int column, std::uint32_t from,
                                      std::uint32_t to) const {
    if (column >= 0) {
        const std::uint32_t begin = column == 0 ? 0 : row.end[column - 1];
        return std::string_view(row.text).substr(begin, row.end[column] - begin);
    }
    return std::string_view(row.text).substr(from, to - from);
}

std::string_view ResultTable::Title(std::size_t row) const {
    const Row& r = m_rows[row];
    const std::uint32_t cells = m_layout.columns > 0 ? r.end[m_layout.columns - 1] : 0;
    return Segment(r, m_titleColumn, cells, r.titleEnd);
}

std::string_view ResultTable::Link(std::size_t row) const {
    const Row& r = m_rows[row];
    return Segment(r, m_linkColumn, r.titleEnd, r.linkEnd);
}

void ResultTable::Append(HitRow&& hit) {
    m_fields = std::move(hit.fields);
    Row row;
    row.item = hit.number;
    row.type = TypeOf(m_fields[kFilename]);
    std::size_t size = 0;
    for (int i = 0; i < m_layout.columns; ++i) {
        const int f = m_layout.field[i];
        if (f >= 0 && f < kFieldCount)
            size += m_fields[f].size();
    }
    row.text.reserve(size + (m_titleColumn < 0 ? m_fields[kTitle].size() : 0) +
                     (m_linkColumn < 0 ? m_fields[kLink].size() : 0));
    for (int i = 0; i < m_layout.columns; ++i) {
        const int f = m_layout.field[i];
        if (f >= 0 && f < kFieldCount)
            row.text += m_fields[f];
        row.end[i] = static_cast<std::uint32_t>(row.text.size());
    }
    if (m_titleColumn < 0)
        row.text += m_fields[kTitle];
    row.titleEnd = static_cast<std::uint32_t>(row.text.size());
    if (m_linkColumn < 0)
        row.text += m_fields[kLink];
    row.linkEnd = static_cast<std::uint32_t>(row.text.size());
    m_rows.push_back(std::move(row));
    m_tipMap.insert_or_assign(hit.number, std::move(hit.tip));
}

std::string_view ResultTable::Cell(std::size_t row, int column) const {
    if (row >= m_rows.size() || column < 0 || column >= m_layout.columns)
        return {};
    const Row& r = m_rows[row];
    const std::uint32_t begin = column == 0 ? 0 : r.end[column - 1];
    return std::string_view(r.text).substr(begin, r.end[column] - begin);
}

const std::string* ResultTable::Tip(std::int32_t item) const {
    auto it = m_tipMap.find(item);
    return it == m_tipMap.end() ? nullptr : &it->second;
}

void ResultTable::ClearTips() {
    std::unordered_map<std::int32_t, std::string>().swap(m_tipMap); // frees the storage too
}

std::vector<std::uint32_t> ResultTable::SortOrder(int column, bool forward) const {
    // One key per item datum, from the first row that carries it.
    std::string arena;
    std::vector<SortKey> keys;
    std::vector<std::size_t> offsets;
    std::vector<std::uint32_t> keyOfRow(m_rows.size());
    std::unordered_map<std::int32_t, std::uint32_t> keyOfItem;
    keyOfItem.reserve(m_rows.size());
    for (std::size_t r = 0; r < m_rows.size(); ++r) {
        auto [it, added] =
            keyOfItem.try_emplace(m_rows[r].item, static_cast<std::uint32_t>(keys.size()));
        if (added) {
            offsets.push_back(arena.size());
            keys.push_back(PrepareSortKey(Utf8ToCp1252(Cell(r, column)), arena));
        }
        keyOfRow[r] = it->second;
    }
    for (std::size_t k = 0; k < keys.size(); ++k)
        SetSortKeyText(keys[k], arena, offsets[k]);

    std::vector<SortKey> entries(m_rows.size());
    for (std::size_t r = 0; r < m_rows.size(); ++r) {
        entries[r] = keys[keyOfRow[r]];
        entries[r].row = static_cast<std::uint32_t>(r);
    }
    StableMergeSort(entries, [forward](const SortKey& a, const SortKey& b) {
        return CompareSortKeys(a, b, forward);
    });
    std::vector<std::uint32_t> order(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        order[i] = entries[i].row;
    return order;
}

void ResultTable::ApplyOrder(const std::vector<std::uint32_t>& order) {
    std::vector<Row> sorted;
    sorted.reserve(m_rows.size());
    for (std::uint32_t r : order)
        sorted.push_back(std::move(m_rows[r]));
    m_rows.swap(sorted);
}
