#include "search/QueryText.h"
#include "config/Settings.h"
#include "net/FailureText.h"
#include "net/FetchPage.h"
#include "net/FetchStatus.h"
#include "search/HitText.h"
#include "search/SavedSearch.h"

#include <gtest/gtest.h>

namespace {

TEST(EncodeQueryText, Bytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {"ab=c d", "ab%3Dc d"},
        {"a\tb", "a%09b"},
        {"\xE4\x7F", "%E4%7F"},
        {"  ", "  "},
        {"&+#?%~", "&+#?%~"},
        {"\r\n", "\r\n"},
        {std::string("\0\x01", 2), "%00%01"},
        {"", ""},
        {std::string(75, 'x'), std::string(70, 'x') + "=\r\n" + std::string(5, 'x')},
        {std::string(70, 'x'), std::string(70, 'x') + "=\r\n"},
        // 69 characters, then a three-character escape: past 70 without landing on it.
        {std::string(69, 'x') + "=" + std::string(3, 'x'), std::string(69, 'x') + "%3Dxxx"},
        {std::string(140, 'x'),
         std::string(70, 'x') + "=\r\n" + std::string(67, 'x') + "=\r\n" + std::string(3, 'x')},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(EncodeQueryText(in), out) << testing::PrintToString(in);
}

TEST(BuildSearchPath, WorkedExamples) {
    Settings settings;
    settings.searchbase = "S?x=1";
    settings.index[0] = "A";
    settings.index[2] = "C";
    settings.index[4] = "E";
    struct Case {
        SearchRequest form;
        std::string path;
    } cases[] = {
        {{"abc", "", {}, 0}, "S?x=1&query0=abc"},
        {{"", "", {}, 0}, "S?x=1"},
        {{"ab=c d", "*.pdf", {true, false, true, false, false}, -2635200},
         "S?x=1&query0=ab%3Dc d&filefilter=*.pdf&index=A;C;&date=-2635200000"},
        {{"   ", "a&b c", {}, -31536000}, "S?x=1&query0=   &filefilter=a&b c&date=-31536000000"},
        {{"", "", {false, false, false, false, true}, 0}, "S?x=1&index=E;"},
        {{"", "", {false, true, false, false, false}, 0}, "S?x=1&index=;"}, // empty setting
        {{"M\xC3\xBCller \xE2\x82\xAC", "", {}, 0}, "S?x=1&query0=M%FCller %80"},
        {{"\xCE\xA9", "\xCE\xA9.txt", {}, 0}, "S?x=1&query0=?&filefilter=?.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BuildSearchPath(settings, c.form), c.path);
    // With UTF-8 the texts go as they are, and the request says so.
    settings.connection.charset = "UTF-8";
    EXPECT_EQ(BuildSearchPath(settings, {"M\xC3\xBCller \xCE\xA9", "\xCE\xA9.txt", {}, 0}),
              "S?x=1&charset=utf-8&query0=M%C3%BCller %CE%A9&filefilter=\xCE\xA9.txt");
}

TEST(HitText, RoutesPagesAndHtml) {
    const ConnectionSettings c;
    EXPECT_EQ(TextRoutePath("https://s.example/zdx-files/docs/a b.pdf", "budget plan", c),
              "zdx-text/docs/a b.pdf?charset=utf-8&query0=budget%20plan");
    EXPECT_EQ(TextRoutePath("/srv/docs/caf\xC3\xA9.pdf", "", c),
              "zdx-text/?path=/srv/docs/caf%C3%A9.pdf&charset=utf-8");
    const PreviewMarks marks = MarkPreview("one plan\ftwo plans\fplan", {"plan", "plans"});
    EXPECT_EQ(marks.pageStarts, (std::vector<std::size_t>{9, 19}));
    ASSERT_EQ(marks.places.size(), 3u);
    EXPECT_EQ(marks.places[1].begin, 13u);
    EXPECT_EQ(marks.places[1].word, 1u);
    EXPECT_EQ(HtmlAsText("<p>A &amp; B</p><script>x()</script><b>C</b>&lt;"), " A & B C <");
    for (const auto& [text, broken] : std::vector<std::pair<std::string, std::string>>{
             {"aa bb cc dd", "aa\nbb\ncc\ndd"},
             {"aaaa bb\nc d\fee ff", "aaaa\nbb\nc d\fee\nff"},
             {"abcdefgh ij", "abcdefgh\nij"}, // a word longer than a line stays whole
         }) {
        std::string t = text;
        BreakLongLines(t, 4);
        EXPECT_EQ(t, broken) << text;
    }
    using Command = std::vector<std::string>;
    EXPECT_EQ(PageViewerCommand("org.gnome.Evince.desktop\n", "/d/a b.PDF", 3),
              (Command{"evince", "--page-index=3", "/d/a b.PDF"}));
    EXPECT_EQ(PageViewerCommand("okularApplication_pdf.desktop", "/d/x.pdf", 12),
              (Command{"okular", "-p", "12", "/d/x.pdf"}));
    EXPECT_EQ(PageViewerCommand("okularApplication_pdf.desktop", "/d/x.pdf.txt", 2), Command{});
    EXPECT_EQ(PageViewerCommand("firefox.desktop", "/d/x.pdf", 2), Command{});
}

TEST(SplitUrl, Forms) {
    struct Case {
        std::string url;
        bool ok;
        bool secure;
        std::string host;
        int port;
        std::string path;
    } cases[] = {
        {"http://other:8080/x?y=1", true, false, "other", 8080, "/x?y=1"},
        {"HTTPS://Other/x", true, true, "Other", 443, "/x"},
        {"http://host", true, false, "host", 80, "/"},
        {"http://host?q=1", true, false, "host", 80, "/?q=1"},
        {"http://user:pw@host:81/p", true, false, "host", 81, "/p"},
        {"http://[::1]:8080/p", true, false, "::1", 8080, "/p"},
        {"/relative/path", false, false, "", 0, ""},
        {"ftp://host/file", false, false, "", 0, ""},
        {"http://host:0/", false, false, "", 0, ""},
        {"http://host:65536/", false, false, "", 0, ""},
        {"http://host:8x/", false, false, "", 0, ""},
        {"http:///path", false, false, "", 0, ""},
        {"http://[::1/p", false, false, "", 0, ""},
    };
    for (const auto& c : cases) {
        UrlParts parts;
        ASSERT_EQ(SplitUrl(c.url, parts), c.ok) << c.url;
        if (!c.ok)
            continue;
        EXPECT_EQ(parts.secure, c.secure) << c.url;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
        EXPECT_EQ(parts.path, c.path) << c.url;
    }
}

TEST(RequestLinePath, EscapesWhatMayNotStandRaw) {
    EXPECT_EQ(RequestLinePath("/a b#c\"<>\\^`{|}%41&=?;\r\n\t\x7F\xE4"),
              "/a%20b%23c%22%3C%3E%5C%5E%60%7B%7C%7D%41&=?;%0D%0A%09%7F%E4");
}

TEST(StatusText, Table) {
    EXPECT_EQ(StatusText(10, "example.org"), "Resolving name example.org");
    EXPECT_EQ(StatusText(11, "127.0.0.1"), "Name resolved 127.0.0.1");
    EXPECT_EQ(StatusText(20, "x"), "Connecting to socket address");
    EXPECT_EQ(StatusText(40, ""), "");
    EXPECT_EQ(StatusText(70, ""), "");
    EXPECT_EQ(StatusText(100, ""), "Request complete");
    EXPECT_EQ(StatusText(110, ""), "Being redirected");
    EXPECT_EQ(StatusText(42, ""), "Unknown status: 42");
}

} // namespace

// Catches a failure shown as a bare number, or words that send the user the wrong way.
TEST(FailureText, SaysWhatHappenedAndWhatToDo) {
    const std::pair<int, const char*> cases[] = {
        {12029, "Cannot reach the search service at 127.0.0.1:8080: the connection was refused "
                "(12029). Is the service running?"},
        {12002, "The search service did not answer within 60 s (12002)."},
        {12038, "The certificate of 127.0.0.1 is made out for another name (12038). See File > "
                "Settings."},
        {12007, "The name 127.0.0.1 could not be found (12007). Check the address in File > "
                "Settings."},
        {401, "The search service refused the request (401). Please log in (File > Log in)."},
        {503, "The search service is not available just now (503). Please try again later."},
        {418, "The search service answered with status 418."},
        {200, ""},
        {-1, ""}, // stopped: nothing failed
    };
    for (const auto& [status, text] : cases)
        EXPECT_EQ(FailureText(status, "127.0.0.1", 8080), text) << status;
}

TEST(SearchAsCommand, QuotesForTheShell) {
    SearchRequest form;
    EXPECT_EQ(SearchAsCommand(form), "zdx-query");
    form.query = "it's -draft";
    form.filename = "*.pdf";
    form.ticked[0] = form.ticked[4] = true;
    form.dateSeconds = kDateRanges[2].seconds;
    EXPECT_EQ(SearchAsCommand(form),
              "zdx-query --index 0 --index 4 --date month --filename '*.pdf' -- 'it'\\''s -draft'");
}
