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

TEST(PasswordCells, CellsNeverHoldTheClearText) {
    std::string password;
    for (int i = 0; i < 70; ++i)
        password += static_cast<char>('!' + i % 90);
    // Two fields, as the program makes them (no fixed seed), mask with different keys.
    PasswordCells first, second;
    first.InsertChars(0, password.data(), password.size());
    second.InsertChars(0, password.data(), password.size());
    ASSERT_EQ(Clear(first), password);
    ASSERT_EQ(Clear(second), password);
    int clearInFirst = 0, sameInBoth = 0;
    for (std::size_t i = 0; i < password.size(); ++i) {
        clearInFirst += first.MaskedByte(i) == static_cast<unsigned char>(password[i]);
        sameInBoth += first.MaskedByte(i) == second.MaskedByte(i);
    }
    EXPECT_LT(clearInFirst, 8); // only a zero key byte leaves a character as it is
    EXPECT_LT(sameInBoth, 8);
    // Inserting in the middle masks every cell again by its new position.
    first.InsertChars(10, "Q", 1);
    password.insert(10, "Q");
    EXPECT_EQ(Clear(first), password);
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
