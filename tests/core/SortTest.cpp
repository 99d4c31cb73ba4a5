#include "results/Sort.h"
#include "results/ResultTable.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <numeric>
#include <random>

namespace {

int Sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(CompareKeyTexts, Pairs) {
    struct Case {
        std::string a, b;
        int forward; // sign with the flag true; false gives the opposite
    } cases[] = {
        {"12", "9", -1}, // numbers, larger first
        {"9", "12", 1},
        {"PDF", "HTML", 0},  // words alone are numbers 0
        {"45abc", "50", 1},  // 45abc counts as 45
        {"", "5", 1},        // empty is the number 0
        {"", "-", 0},        // nothing compared
        {"abc-d", "ABC", 0}, // only the shorter length counts
        {"apple,", "Banana", -1},
        {"Zed!", "apple", 1},
        {"a b", "A B", 0},                // case ignored
        {"\xE4x", "ax", 1},               // bytes from 0x80 are not letters, and sort after ASCII
        {"99999999999", "1", -1},         // saturates, no overflow
        {"abcdefgh-X", "ABCDEFGH-y", -1}, // differs after the first eight bytes
        {"abcdefghij.", "ABCDEFGHI", 0},
        {"Zebra crossing", "zebra", 0},
        {"Report 1", "Report 2", -1},  // differ in the 8th byte
        {"Reports 2", "Reports 1", 1}, // differ after the 8th byte
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sign(CompareKeyTexts(c.a, c.b, true)), c.forward) << c.a << " / " << c.b;
        EXPECT_EQ(Sign(CompareKeyTexts(c.a, c.b, false)), -c.forward) << c.a << " / " << c.b;
    }
}

// The rule written out plainly, byte by byte, as the platform's runtime would do it.
int Reference(const std::string& a, const std::string& b) {
    if (IsAllAlnum(a) && IsAllAlnum(b)) {
        auto number = [](const std::string& t) { // leading digits, saturating
            long long v = 0;
            for (std::size_t i = 0; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]));
                 ++i)
                v = std::min<long long>(v * 10 + (t[i] - '0'), INT_MAX);
            return v;
        };
        const long long na = number(a), nb = number(b);
        return (nb > na) - (nb < na);
    }
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

TEST(CompareKeyTexts, AgreesWithThePlainRule) {
    std::mt19937 random(3);
    const char alphabet[] = "aAbBzZ09 .-\xE4";
    auto text = [&] {
        std::string s;
        for (std::size_t n = random() % 14; n > 0; --n)
            s += alphabet[random() % (sizeof alphabet - 1)];
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string a = text(), b = text();
        ASSERT_EQ(Sign(CompareKeyTexts(a, b, true)), Reference(a, b)) << a << " / " << b;
    }
}

TEST(IsAllAlnum, Texts) {
    EXPECT_TRUE(IsAllAlnum(""));
    EXPECT_TRUE(IsAllAlnum("abcXYZ019"));
    EXPECT_FALSE(IsAllAlnum("a b"));
    EXPECT_FALSE(IsAllAlnum("-1"));
    EXPECT_FALSE(IsAllAlnum("\xE4"));
}

std::vector<std::uint32_t> Iota(std::size_t n) {
    std::vector<std::uint32_t> v(n);
    std::iota(v.begin(), v.end(), 0u);
    return v;
}

bool IsPermutation(std::vector<std::uint32_t> v) {
    const std::size_t n = v.size();
    std::sort(v.begin(), v.end());
    return v == Iota(n);
}

TEST(MergeSort, AnyComparisonGivesAPermutation) {
    std::mt19937 random(42);
    const std::function<int(std::uint32_t, std::uint32_t)> comparisons[] = {
        [&](std::uint32_t, std::uint32_t) { return static_cast<int>(random() % 3) - 1; },
        [](std::uint32_t, std::uint32_t) { return -1; },
        [](std::uint32_t, std::uint32_t) { return 1; },
        [](std::uint32_t a, std::uint32_t b) { return (a + b) % 2 ? -1 : 1; },
    };
    for (const auto& compare : comparisons) {
        for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 1000u}) {
            auto order = Iota(n);
            StableMergeSort(order, compare);
            EXPECT_TRUE(IsPermutation(order)) << n;
        }
    }
}

TEST(MergeSort, EqualRowsKeepTheirOrder) {
    auto order = Iota(100);
    StableMergeSort(order, [](std::uint32_t a, std::uint32_t b) {
        const std::uint32_t ga = a / 10, gb = b / 10;
        return ga == gb ? 0 : (ga < gb ? 1 : -1);
    });
    // Groups of ten in descending group order, each group in its original order.
    for (std::size_t i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], (9 - i / 10) * 10 + i % 10);
}

ResultTable TableOf(const std::vector<std::pair<std::int32_t, std::string>>& rows) {
    ResultTable table;
    ColumnLayout layout;
    layout.columns = 2;
    layout.field[0] = kTitle;
    layout.field[1] = -1;
    table.SetLayout(layout);
    for (const auto& [number, title] : rows) {
        HitRow hit;
        hit.number = number;
        hit.fields[kTitle] = title;
        table.Append(std::move(hit));
    }
    return table;
}

TEST(SortOrder, FirstClickSortsNumbersUpAndWordsDown) {
    // The flag starts true and flips before the first sort.
    ResultTable numbers = TableOf({{1, "12"}, {2, "9"}, {3, "100"}});
    EXPECT_EQ(numbers.SortOrder(0, false), (std::vector<std::uint32_t>{1, 0, 2}));
    ResultTable words = TableOf({{1, "b."}, {2, "Z."}, {3, "a."}});
    EXPECT_EQ(words.SortOrder(0, false), (std::vector<std::uint32_t>{1, 0, 2}));
    EXPECT_EQ(words.SortOrder(0, true), (std::vector<std::uint32_t>{2, 0, 1}));
}

TEST(SortOrder, RowsWithTheSameItemDatumUseTheFirstRowsText) {
    ResultTable table = TableOf({{1, "b."}, {2, "a."}, {1, "z."}});
    // The third row is keyed by "b." as the first row with datum 1: equal to it, so it stays
    // behind it.
    EXPECT_EQ(table.SortOrder(0, true), (std::vector<std::uint32_t>{1, 0, 2}));
    table.ApplyOrder(table.SortOrder(0, true));
    EXPECT_EQ(table.Cell(0, 0), "a.");
    EXPECT_EQ(table.Cell(2, 0), "z.");
}

TEST(SortOrder, MixedColumnAlwaysEnds) {
    std::mt19937 random(7);
    const std::string pieces[] = {"", "12", "abc", "-", "A b", "9x", "zz!", "\xC3\xA4", "0"};
    std::vector<std::pair<std::int32_t, std::string>> rows;
    for (int i = 0; i < 20000; ++i)
        rows.emplace_back(static_cast<std::int32_t>(random() % 5000),
                          pieces[random() % 9] + pieces[random() % 9]);
    ResultTable table = TableOf(rows);
    for (bool forward : {true, false}) {
        const auto order = table.SortOrder(0, forward);
        EXPECT_TRUE(IsPermutation(order));
    }
    EXPECT_TRUE(IsPermutation(table.SortOrder(1, true))); // an empty column
}

TEST(ResultTable, CellsTipsAndFields) {
    ResultTable table;
    ColumnLayout layout;
    layout.columns = 3;
    layout.field = {kLink, -1, kLink};
    table.SetLayout(layout);
    for (int i = 0; i < 100000; ++i) {
        HitRow hit;
        hit.number = 5;
        hit.fields[kLink] = "/docs/" + std::to_string(i);
        hit.tip = "tip " + std::to_string(i);
        table.Append(std::move(hit));
    }
    EXPECT_EQ(table.RowCount(), 100000u);
    EXPECT_EQ(table.Cell(7, 0), "/docs/7");
    EXPECT_EQ(table.Cell(7, 1), "");
    EXPECT_EQ(table.Cell(7, 2), "/docs/7");
    EXPECT_EQ(table.Cell(7, 3), ""); // no such column
    EXPECT_EQ(table.ItemData(99999), 5);
    ASSERT_EQ(table.TipCount(), 1u); // the later tip replaces the earlier one
    EXPECT_EQ(*table.Tip(5), "tip 99999");
    EXPECT_EQ(table.Fields()[kLink], "/docs/99999");
    EXPECT_EQ(table.Tip(6), std::nullopt);
    for (const std::int32_t far : {2000000000, -7}) { // numbers far from the rows' count
        HitRow hit;
        hit.number = far;
        hit.tip = "far " + std::to_string(far);
        table.Append(std::move(hit));
        EXPECT_EQ(table.Tip(far), "far " + std::to_string(far));
    }
    EXPECT_EQ(table.TipCount(), 3u);
    table.ClearTips();
    EXPECT_EQ(table.Tip(5), std::nullopt);
    EXPECT_EQ(table.RowCount(), 100002u); // the rows stay
}

} // namespace
