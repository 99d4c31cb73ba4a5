#include "signin/PasswordCells.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

namespace {

std::string Clear(const PasswordCells& cells) {
    char* text = cells.GetClearText();
    std::string copy = text;
    PasswordCells::WipeClearText(text);
    return copy;
}

TEST(PasswordCells, InsertAndRemoveAtEveryPosition) {
    const std::string base = "abcdef";
    for (std::size_t at = 0; at <= base.size(); ++at) {
        PasswordCells cells(7);
        cells.InsertChars(0, base.data(), base.size());
        cells.InsertChars(at, "XY", 2);
        std::string expected = base;
        expected.insert(at, "XY");
        EXPECT_EQ(Clear(cells), expected) << at;
        cells.RemoveChars(at, 2);
        EXPECT_EQ(Clear(cells), base) << at;
        cells.RemoveChars(at, 1);
        EXPECT_EQ(Clear(cells), at < base.size() ? std::string(base).erase(at, 1) : base) << at;
    }
}

TEST(PasswordCells, OutOfRangeChangesNothing) {
    PasswordCells cells(7);
    cells.InsertChars(0, "abc", 3);
    cells.InsertChars(4, "x", 1);
    cells.InsertChars(1, nullptr, 1);
    cells.InsertChars(1, "x", 0);
    cells.RemoveChars(2, 2);
    cells.RemoveChars(4, 0);
    cells.RemoveChars(static_cast<std::size_t>(-1), 2);
    EXPECT_EQ(Clear(cells), "abc");
}

TEST(PasswordCells, CellsHoldMaskedBytesAndTheKeyRepeatsAfter32) {
    PasswordCells cells(12345);
    std::string password;
    for (int i = 0; i < 70; ++i)
        password += static_cast<char>('!' + i % 90);
    cells.InsertChars(0, password.data(), password.size());
    ASSERT_EQ(Clear(cells), password);
    int differing = 0;
    for (std::size_t i = 0; i < password.size(); ++i) {
        const auto clear = static_cast<unsigned char>(password[i]);
        EXPECT_EQ(cells.MaskedByte(i), clear ^ cells.KeyByte(i % 32)) << i;
        differing += cells.MaskedByte(i) != clear;
    }
    EXPECT_EQ(cells.KeyByte(32), cells.KeyByte(0));
    EXPECT_GT(differing, 60); // only a zero key byte leaves a character as it is
    // A different seed gives a different key.
    PasswordCells other(54321);
    int same = 0;
    for (std::size_t i = 0; i < 32; ++i)
        same += other.KeyByte(i) == cells.KeyByte(i);
    EXPECT_LT(same, 8);
}

TEST(PasswordCells, WipingLeavesZeros) {
    char text[] = "s3cret";
    PasswordCells::WipeBytes(text, true);
    for (char c : text)
        EXPECT_EQ(c, '\0');
    char first[] = "s3cret";
    PasswordCells::WipeBytes(first, false);
    EXPECT_EQ(first[0], '\0');
    EXPECT_EQ(first[1], '3');
    PasswordCells::WipeAndFree(nullptr, true); // nothing happens
    PasswordCells cells(1);
    cells.InsertChars(0, "abc", 3);
    cells.ClearAll();
    EXPECT_EQ(cells.Count(), 0u);
    EXPECT_EQ(Clear(cells), "");
}

} // namespace
