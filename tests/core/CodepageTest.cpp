#include "text/Codepage.h"

#include <gtest/gtest.h>

namespace {

TEST(Codepage, EveryWindows1252ByteSurvivesTheRoundTrip) {
    for (int b = 1; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::string utf8 = Cp1252ToUtf8(byte);
        ASSERT_TRUE(IsValidUtf8(utf8)) << b;
        bool ok = false;
        EXPECT_EQ(Utf8ToCp1252(utf8, &ok), byte) << b;
        EXPECT_TRUE(ok) << b;
    }
}

TEST(Codepage, Windows1252Characters) {
    struct Case {
        std::string bytes, utf8;
    } cases[] = {
        {"\x80", "\xE2\x82\xAC"}, // euro sign
        {"\x81", "\xC2\x81"},     // undefined in the code page: kept as U+0081
        {"\x9F", "\xC5\xB8"},     // Y with diaeresis
        {"\xE4", "\xC3\xA4"},     // a with diaeresis
        {"plain", "plain"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Cp1252ToUtf8(c.bytes), c.utf8);
}

TEST(Codepage, CharactersOutsideWindows1252BecomeQuestionMarks) {
    bool ok = true;
    EXPECT_EQ(Utf8ToCp1252("a\xCE\xA9z", &ok), "a?z"); // Greek capital omega
    EXPECT_FALSE(ok);
    EXPECT_EQ(Utf8ToCp1252("\xFF\xFE", &ok), "??"); // not UTF-8 at all
    EXPECT_FALSE(ok);
    EXPECT_FALSE(IsCp1252Char(U'\u03A9'));
    EXPECT_TRUE(IsCp1252Char(U'\u20AC'));
}

TEST(Codepage, Ibm850) {
    EXPECT_EQ(Ibm850ToUtf8("C:\\q\x84"), "C:\\q\xC3\xA4"); // 0x84 is a with diaeresis
    EXPECT_EQ(Ibm850ToUtf8("\x81"), "\xC3\xBC");           // u with diaeresis
    EXPECT_EQ(Ibm850ToUtf8("\xE4"), "\xC3\xB5");           // o with tilde
}

TEST(Codepage, Utf8Validity) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"abc", true},
        {"\xC3\xA4", true},
        {"\xF0\x9F\x98\x80", true},
        {"\xC0\x80", false},     // overlong
        {"\xED\xA0\x80", false}, // surrogate
        {"\xE2\x82", false},     // cut short
        {"\xC3", false},
        {"\x80", false},
        {"\xF4\x90\x80\x80", false}, // above U+10FFFF
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(Codepage, Utf16) {
    EXPECT_EQ(Utf16ToUtf8(std::string("A\0\xE4\0", 4), false), "A\xC3\xA4");
    EXPECT_EQ(Utf16ToUtf8(std::string("\0A\0\xE4", 4), true), "A\xC3\xA4");
    EXPECT_EQ(Utf16ToUtf8(std::string("\x3D\xD8\x00\xDE", 4), false), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::string("\x3D\xD8", 2), false), "\xEF\xBF\xBD"); // lone surrogate
    EXPECT_EQ(Utf16ToUtf8(std::string("A\0B", 3), false), "A");                // odd byte dropped
}

TEST(Codepage, PrefixNeverSplitsACharacter) {
    EXPECT_EQ(Utf8PrefixBytes("\xC3\xA4\xC3\xB6z", 2), 4u);
    EXPECT_EQ(Utf8PrefixBytes("abc", 10), 3u);
    EXPECT_EQ(Utf8PrefixBytes("abc", 0), 0u);
}

} // namespace
