#include "search/ResultPage.h"
#include "text/Highlight.h"

#include <climits>
#include <gtest/gtest.h>

namespace {

// Writes down everything the parser reports, in order.
struct Recorder : ResultSink {
    std::vector<std::string> events;
    std::vector<HitRow> hits;
    void AppendHit(HitRow&& hit) override {
        events.push_back("hit " + std::to_string(hit.number));
        hits.push_back(std::move(hit));
    }
    void SetHitCount(int count) override { events.push_back("count " + std::to_string(count)); }
    void SetSignedInUser(const std::string& user) override { events.push_back("user " + user); }
    void ShowMessage(const std::string& text) override { events.push_back("message " + text); }
};

struct LineCase {
    std::string line;
    int result;
    std::vector<std::string> events;
};

TEST(ParseResultLine, LineKinds) {
    const LineCase cases[] = {
        {"0|25|1|x|guest", 1, {"count 25", "user guest"}},
        {"0|25|0|x|guest", 1, {"count 25", "user "}},
        {"0|25|1|x|guest\r", 1, {"count 25", "user guest\r"}}, // CR stays in the last field
        {"0| 12abc|2||\xE9ve", 1, {"count 12", "user \xC3\xA9ve"}},
        {"-1|99|1||staff", 1, {"count 0", "user staff"}},
        {"-3|Index not available", 1, {"count 0", "message Index not available"}},
        {"-3", 1, {"count 0", "message "}},
        {"-2|anything", 1, {"count 0"}},
        {"", 0, {"count 0"}},
        {"<html>", 0, {"count 0"}},
        {"<html>\r", 1, {"count 0", "user "}}, // not a stop line: a summary with code 0
        {"<HTML>", 1, {"count 0", "user "}},
        {"|17|x", 0, {"count 0"}},
        {"abc", 1, {"count 0", "user "}},
        {"-4|T", 1, {"hit -4"}},
        {"0007|T", 1, {"hit 7"}},
        {" 5|T", 1, {"hit 5"}},
        {"+3|T", 1, {"hit 3"}},
        {"\t-0|x", 1, {"count 0", "user "}},
        {"99999999999|T", 1, {"hit " + std::to_string(INT_MAX)}}, // saturates, never wraps
        {"-99999999999|T", 1, {"hit " + std::to_string(INT_MIN)}},
        {"4294967293|T", 1, {"hit " + std::to_string(INT_MAX)}}, // would wrap onto -3
    };
    for (const auto& c : cases) {
        Recorder r;
        EXPECT_EQ(ParseResultLine(c.line, r), c.result) << testing::PrintToString(c.line);
        EXPECT_EQ(r.events, c.events) << testing::PrintToString(c.line);
    }
}

TEST(ParseResultLine, HitLine) {
    Recorder r;
    ASSERT_EQ(ParseResultLine("17|Report|88|Quarterly figures|2006-05-01|PDF|x|y|z|"
                              "C%3A%5Cdocs%5Cq%202.pdf|Research Unit|123456",
                              r),
              1);
    ASSERT_EQ(r.hits.size(), 1u);
    const HitRow& hit = r.hits[0];
    EXPECT_EQ(hit.number, 17);
    const std::array<std::string, kFieldCount> fields = {
        "Report",     "88",  "q 2.pdf",           "Quarterly figures",
        "2006-05-01", "PDF", "C:\\docs\\q 2.pdf", "Research Unit",
        "",           ""};
    EXPECT_EQ(hit.fields, fields);
    EXPECT_EQ(hit.tip, "Quarterly figures\r\n2006-05-01\r\nPDF\r\nx\r\n123456 bytes\r\n"
                       "C:\\docs\\q 2.pdf");
}

TEST(ParseResultLine, EachFieldInItsCodePage) {
    // 0xE9 and 0x80 are é and € in Windows-1252; in the link, 0x82 and 0x9C are é and £ in
    // IBM850, raw or escaped.
    Recorder r;
    ASSERT_EQ(ParseResultLine("1|T\xE9|9\x80|D\xE9sc|d\xE9te|F\x80|||x|%2Fa%82\x9C.txt|Au\xE9", r),
              1);
    ASSERT_EQ(r.hits.size(), 1u);
    const auto& f = r.hits[0].fields;
    EXPECT_EQ(f[kTitle], "T\xC3\xA9");
    EXPECT_EQ(f[kRelevance], "9\xE2\x82\xAC");
    EXPECT_EQ(f[kDescription], "D\xC3\xA9sc");
    EXPECT_EQ(f[kDate], "d\xC3\xA9te");
    EXPECT_EQ(f[kFormat], "F\xE2\x82\xAC");
    EXPECT_EQ(f[kAuthor], "Au\xC3\xA9");
    EXPECT_EQ(f[kLink], "/a\xC3\xA9\xC2\xA3.txt");
    EXPECT_EQ(f[kFilename], "a\xC3\xA9\xC2\xA3.txt");

    // A UTF-8 page: every text and the link as UTF-8; bytes that are not UTF-8 as Windows-1252.
    Recorder u;
    ASSERT_EQ(ParseResultLine("1|\xCE\xA9|9|D\xE9|d|F|||x|%2F%CE%B1.txt|A|5|\xCE\xA9", u,
                              PageCharset::Utf8),
              1);
    EXPECT_EQ(u.hits[0].fields[kTitle], "\xCE\xA9");
    EXPECT_EQ(u.hits[0].fields[kDescription], "D\xC3\xA9");
    EXPECT_EQ(u.hits[0].fields[kLink], "/\xCE\xB1.txt");
    EXPECT_EQ(u.hits[0].matches, "\xCE\xA9");
}

TEST(MatchSpans, WholeWordsAndCharactersThatStandAlone) {
    const struct {
        const char* text;
        const char* words;
        std::vector<TextSpan> spans;
    } kCases[] = {
        {"Budget and budgets", "budgets Budget", {{0, 6}, {11, 18}}},
        {"Budgeting", "Budget", {}},                   // not a whole word
        {"caf\xC3\xA9 cafe", "caf\xC3\xA9", {{0, 5}}}, // é is a letter
        {"\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE4\xBA\x88", "\xE4\xBA\x88", {{9, 12}}},
        {"plan plan", "plan  plan", {{0, 4}, {5, 9}}}, // each place once
        {"x", "", {}},
    };
    for (const auto& c : kCases)
        EXPECT_EQ(MatchSpans(c.text, c.words), c.spans) << c.text;
}

TEST(ParseResultLine, ShortAndLongHitLines) {
    Recorder r;
    ParseResultLine("17", r);
    ParseResultLine("8|Gr\xFC\xDF"
                    "e||d||||||link|a|s|12|13|14|15|16|17|18|19|20|21|22",
                    r);
    ParseResultLine("9|T|" + std::string(10000, '|'), r);
    ASSERT_EQ(r.hits.size(), 3u);
    EXPECT_EQ(r.hits[0].fields, (std::array<std::string, kFieldCount>{}));
    EXPECT_EQ(r.hits[0].tip, "\r\n\r\n\r\n\r\n bytes\r\n");
    EXPECT_EQ(r.hits[1].fields[kTitle], "Gr\xC3\xBC\xC3\x9F"
                                        "e"); // Windows-1252 to UTF-8
    EXPECT_EQ(r.hits[1].fields[kAuthor], "a");
    EXPECT_EQ(r.hits[1].fields[kLink], "link");
    EXPECT_EQ(r.hits[2].fields[kTitle], "T");
    EXPECT_EQ(r.hits[2].fields[kLink], "");
}

TEST(DecodeField, Escapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"C%3A%5Cdocs%5Cq%202.pdf", "C:\\docs\\q 2.pdf"},
        {"%E4", "\xC3\xB5"},          // IBM850 0xE4
        {"\x84rger", "\xC3\xA4rger"}, // a raw high byte is IBM850 too
        {"a%4", "a\x04"},
        {"a%", "a"}, // a lone % gives 0, which ends the text
        {"a%zzb", "a"},
        {"a%0xb", "a"},
        {"a% 4b", "a\x04"
                  "b"}, // white space before the digits
        {"a%-1b", "a\xC2\xA0"
                  "b"}, // -1: low eight bits 0xFF
        {"%+F", "\x0F"},
        {"%41%42", "AB"},
        {"%%41", ""},           // "%4" is no number: 0 ends the text
        {"a=\r\nb=\r\n", "ab"}, // soft breaks
        {"docs/get?id=5", "docs/get?id=5"},
        {"", ""},
    };
    for (const auto& [wire, text] : cases)
        EXPECT_EQ(DecodeField(wire), text) << testing::PrintToString(wire);
}

TEST(FilenameOf, LastPathComponent) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\data\\a.b.txt", "a.b.txt"},
        {"C:x.txt", "x.txt"},
        {"docs/", ""},
        {"docs/get?id=5", "get?id=5"},
        {"http://host/path/file.pdf", "file.pdf"},
        {"noslash", "noslash"},
        {"", ""},
        {"\xC3\xA4:x", "x"}, // a drive letter that is not ASCII
        {"dir.d/name", "name"},
        {std::string(300, 'n') + ".txt", std::string(255, 'n') + ".txt"},
        {"a." + std::string(300, 'e'), "a." + std::string(254, 'e')},
    };
    for (const auto& [link, name] : cases)
        EXPECT_EQ(FilenameOf(link), name) << link;
}

TEST(ParseResultLine, HostilePages) {
    Recorder r;
    // A 50 MB line is one hit with a 50 MB title.
    std::string big = "5|" + std::string(50u << 20, 'x');
    EXPECT_EQ(ParseResultLine(big, r), 1);
    EXPECT_EQ(r.hits.back().fields[kTitle].size(), 50u << 20);
    // '%' at every position of the link field.
    std::string percents = "6|t|||||||||" + std::string(1 << 20, '%');
    EXPECT_EQ(ParseResultLine(percents, r), 1);
    EXPECT_EQ(r.hits.back().fields[kLink], "");
    // NUL bytes and binary junk.
    unsigned seed = 7;
    for (int line = 0; line < 2000; ++line) {
        std::string junk;
        for (int i = 0; i < 200; ++i) {
            seed = seed * 1103515245u + 12345u;
            junk += static_cast<char>(seed >> 16);
        }
        ParseResultLine(junk, r);
    }
    SUCCEED();
}

} // namespace
