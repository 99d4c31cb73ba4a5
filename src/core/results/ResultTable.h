#pragma once
// The rows of the result list and the tip texts, without any window: a row holds one text per
// display column and its item datum (the hit number); the tips are kept by hit number.
#include "config/ColumnLayout.h"
#include "search/ResultPage.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class ResultTable {
public:
    void SetLayout(const ColumnLayout& layout) { m_layout = layout; }
    const ColumnLayout& Layout() const { return m_layout; }

    // Appends the hit as a row (cells by the layout) and stores its tip under its number,
    // replacing a tip stored there before.
    void Append(HitRow&& hit);

    std::size_t RowCount() const { return m_rows.size(); }
    std::string_view Cell(std::size_t row, int column) const;
    std::int32_t ItemData(std::size_t row) const { return m_rows[row].item; }
    // The extension of the hit's file name, lower case and without the dot ("" when none).
    std::string_view FileType(std::size_t row) const { return m_rows[row].type; }

    // The tip stored under the number, or nullptr.
    const std::string* Tip(std::int32_t item) const;
    std::size_t TipCount() const { return m_tipMap.size(); }
    void ClearTips();
    void ClearRows() { m_rows.clear(); }

    // The field texts of the last hit appended (slots 8 and 9 are never written).
    const std::array<std::string, kFieldCount>& Fields() const { return m_fields; }

    // The order of rows sorted by the texts of `column`: every row is keyed by the text of the
    // first row with its item datum, and each key is prepared once.
    std::vector<std::uint32_t> SortOrder(int column, bool forward) const;
    // Rearranges the rows: new row i is old row order[i].
    void ApplyOrder(const std::vector<std::uint32_t>& order);

private:
    struct Row {
        std::string text; // the cells one after the other
        std::array<std::uint32_t, kMaxDisplayColumns> end{};
        std::int32_t item = 0;
        std::string type;
    };
    ColumnLayout m_layout;
    std::vector<Row> m_rows;
    std::unordered_map<std::int32_t, std::string> m_tipMap;
    std::array<std::string, kFieldCount> m_fields;
};
