#pragma once
// The rows of the result list and the tip texts, without any window: a row holds one text per
// display column and its item datum (the hit number); the tips are kept by hit number.
#include "config/ColumnLayout.h"
#include "search/ResultPage.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class ResultTable {
public:
    void SetLayout(const ColumnLayout& layout);
    const ColumnLayout& Layout() const { return m_layout; }

    // Appends the hit as a row (cells by the layout) and stores its tip under its number,
    // replacing a tip stored there before.
    void Append(HitRow&& hit);

    std::size_t RowCount() const { return m_rows.size(); }
    std::string_view Cell(std::size_t row, int column) const;
    std::int32_t ItemData(std::size_t row) const { return m_rows[row].item; }
    // The hit's title and link fields, whether or not a column shows them.
    std::string_view Title(std::size_t row) const;
    std::string_view Link(std::size_t row) const;
    // The extension of the hit's file name, lower case and without the dot ("" when none).
    std::string_view FileType(std::size_t row) const { return m_rows[row].type; }
    // The words of the search the hit's description holds (blank-separated), as the service
    // named them.
    std::string_view Matches(std::size_t row) const;

    // The tip stored under the number, or nothing.
    std::optional<std::string_view> Tip(std::int32_t item) const;
    std::size_t TipCount() const { return m_tipCount; }
    void ClearTips();
    void ClearRows(); // frees the storage too, the tips' included

    // The field texts of the last hit appended (slots 8 and 9 are never written).
    const std::array<std::string, kFieldCount>& Fields() const { return m_fields; }

    // The order of rows sorted by the texts of `column`: every row is keyed by the text of the
    // first row with its item datum, and each key is prepared once.
    std::vector<std::uint32_t> SortOrder(int column, bool forward) const;
    // Rearranges the rows: new row i is old row order[i].
    void ApplyOrder(const std::vector<std::uint32_t>& order);

private:
    // A row is small and fixed in size; its texts live in the table's text blocks, so that a
    // million short rows cost little more than their fixed part.
    struct Row {
        // The cells one after the other, then the title and the link where no column holds
        // them.
        const char* text = nullptr;
        std::array<std::uint32_t, kMaxDisplayColumns> end{};
        std::uint32_t titleEnd = 0, linkEnd = 0, tipEnd = 0; // the tip follows the link
        std::uint32_t matchesEnd = 0;                        // then the matched words
        std::int32_t item = 0;
        char type[16] = {}; // the file type, NUL-terminated (at most 15 characters)
    };
    // Room for `size` bytes that stay where they are until the rows are cleared.
    char* TextSpace(std::size_t size);
    std::string_view Segment(const Row& row, int column, std::uint32_t from,
                             std::uint32_t to) const;

    ColumnLayout m_layout;
    int m_titleColumn = -1; // the first column showing the title, or -1
    int m_linkColumn = -1;  // the last column showing the link, or -1
    std::vector<Row> m_rows;
    std::vector<std::unique_ptr<char[]>> m_blocks;   // the rows' texts, many a block
    std::vector<std::unique_ptr<char[]>> m_ownTexts; // long rows' texts, one each
    std::size_t m_blockUsed = 0;
    // Where each number's tip is: by number for the usual small numbers, in a map for others.
    struct TipRef {
        const char* text = nullptr;
        std::uint32_t size = 0;
        bool set = false;
    };
    TipRef* TipSlot(std::int32_t item);
    std::vector<TipRef> m_tipsByNumber;
    std::unordered_map<std::int32_t, TipRef> m_otherTips;
    std::size_t m_tipCount = 0;
    std::array<std::string, kFieldCount> m_fields;
};
