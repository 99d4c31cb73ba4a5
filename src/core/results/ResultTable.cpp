#include "results/ResultTable.h"

#include "results/Sort.h"
#include "text/Codepage.h"

namespace {
constexpr std::size_t kMaxTypeLength = 15;

// Below the allocator's mmap threshold, so that blocks reuse what the parser's strings gave back.
constexpr std::size_t kTextBlockBytes = 64u << 10;

// The file type into `type` (lower case, without the dot; empty when there is none).
void SetTypeOf(const std::string& filename, char (&type)[16]) {
    static_assert(kMaxTypeLength < sizeof type);
    const std::size_t dot = filename.rfind('.');
    if (dot == std::string::npos || filename.size() - dot - 1 > kMaxTypeLength)
        return;
    std::size_t n = 0;
    for (std::size_t i = dot + 1; i < filename.size(); ++i) {
        const char c = filename[i];
        type[n++] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    type[n] = '\0';
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
        return std::string_view(row.text + begin, row.end[column] - begin);
    }
    return std::string_view(row.text + from, to - from);
}

std::string_view ResultTable::Title(std::size_t row) const {
    const Row& r = m_rows[row];
    const std::uint32_t cells = m_layout.columns > 0 ? r.end[m_layout.columns - 1] : 0;
    return Segment(r, m_titleColumn, cells, r.titleEnd);
}

std::string_view ResultTable::Matches(std::size_t row) const {
    const Row& r = m_rows[row];
    return r.text ? std::string_view(r.text + r.tipEnd, r.matchesEnd - r.tipEnd)
                  : std::string_view();
}

std::string_view ResultTable::Link(std::size_t row) const {
    const Row& r = m_rows[row];
    return Segment(r, m_linkColumn, r.titleEnd, r.linkEnd);
}

char* ResultTable::TextSpace(std::size_t size) {
    // Not zero-filled: only what rows use is ever touched.
    if (size > kTextBlockBytes / 4) { // a long row gets a block of its own
        m_ownTexts.emplace_back(new char[size]);
        return m_ownTexts.back().get();
    }
    if (m_blocks.empty() || m_blockUsed + size > kTextBlockBytes) {
        m_blocks.emplace_back(new char[kTextBlockBytes]);
        m_blockUsed = 0;
    }
    char* space = m_blocks.back().get() + m_blockUsed;
    m_blockUsed += size;
    return space;
}

void ResultTable::ClearRows() {
    ClearTips(); // their texts go with the rows'
    std::vector<Row>().swap(m_rows);
    std::vector<std::unique_ptr<char[]>>().swap(m_blocks);
    std::vector<std::unique_ptr<char[]>>().swap(m_ownTexts);
    m_blockUsed = 0;
}

void ResultTable::Append(HitRow&& hit) {
    m_fields = std::move(hit.fields);
    Row row;
    row.item = hit.number;
    SetTypeOf(m_fields[kFilename], row.type);
    std::size_t size = 0;
    for (int i = 0; i < m_layout.columns; ++i) {
        const int f = m_layout.field[i];
        if (f >= 0 && f < kFieldCount)
            size += m_fields[f].size();
    }
    size += (m_titleColumn < 0 ? m_fields[kTitle].size() : 0) +
            (m_linkColumn < 0 ? m_fields[kLink].size() : 0) + hit.tip.size() + hit.matches.size();
    char* text = size ? TextSpace(size) : nullptr;
    std::uint32_t used = 0;
    auto add = [&](const std::string& field) {
        if (field.empty())
            return;
        field.copy(text + used, field.size());
        used += static_cast<std::uint32_t>(field.size());
    };
    for (int i = 0; i < m_layout.columns; ++i) {
        const int f = m_layout.field[i];
        if (f >= 0 && f < kFieldCount)
            add(m_fields[f]);
        row.end[i] = used;
    }
    if (m_titleColumn < 0)
        add(m_fields[kTitle]);
    row.titleEnd = used;
    if (m_linkColumn < 0)
        add(m_fields[kLink]);
    row.linkEnd = used;
    add(hit.tip);
    row.tipEnd = used;
    add(hit.matches);
    row.matchesEnd = used;
    row.text = text;
    m_rows.push_back(row);
    // A later tip under the same number replaces the earlier one.
    if (TipRef* slot = TipSlot(hit.number)) {
        m_tipCount += slot->set ? 0 : 1;
        *slot = {text ? text + row.linkEnd : nullptr, row.tipEnd - row.linkEnd, true};
    }
}

ResultTable::TipRef* ResultTable::TipSlot(std::int32_t item) {
    // Pages number their hits 1, 2, 3, ...: those go by number; a far-off number goes to the
    // map, so that no number makes the table large.
    const std::size_t limit = 2 * m_rows.size() + 4096;
    if (item >= 0 && static_cast<std::size_t>(item) < limit) {
        if (static_cast<std::size_t>(item) >= m_tipsByNumber.size())
            m_tipsByNumber.resize(std::max<std::size_t>(item + 1, m_tipsByNumber.size() * 3 / 2));
        return &m_tipsByNumber[static_cast<std::size_t>(item)];
    }
    return &m_otherTips[item];
}

std::string_view ResultTable::Cell(std::size_t row, int column) const {
    if (row >= m_rows.size() || column < 0 || column >= m_layout.columns)
        return {};
    const Row& r = m_rows[row];
    const std::uint32_t begin = column == 0 ? 0 : r.end[column - 1];
    return std::string_view(r.text + begin, r.end[column] - begin);
}

std::optional<std::string_view> ResultTable::Tip(std::int32_t item) const {
    const TipRef* ref = nullptr;
    if (item >= 0 && static_cast<std::size_t>(item) < m_tipsByNumber.size()) {
        ref = &m_tipsByNumber[static_cast<std::size_t>(item)];
    } else {
        auto it = m_otherTips.find(item);
        ref = it == m_otherTips.end() ? nullptr : &it->second;
    }
    if (!ref || !ref->set)
        return std::nullopt;
    return std::string_view(ref->text ? ref->text : "", ref->size);
}

void ResultTable::ClearTips() {
    std::vector<TipRef>().swap(m_tipsByNumber); // frees the storage too
    std::unordered_map<std::int32_t, TipRef>().swap(m_otherTips);
    m_tipCount = 0;
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
