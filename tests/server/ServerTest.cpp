// zdx-server: its protocol helpers, its index over real folders, and zdx-query against the
// running service over HTTP and HTTPS.
#include "Backend.h"
#include "Beneath.h"
#include "Documents.h"
#include "Extract.h"
#include "Extractor.h"
#include "Options.h"
#include "Packed.h"
#include "PgStore.h"
#include "Protocol.h"
#include "Query.h"
#include "Routes.h"
#include "Scan.h"
#include "SharedMap.h"
#include "SqliteStore.h"
#include "Users.h"
#include "Words.h"

#include "../support/RawServer.h"
#include "../support/TestCerts.h"
#include "../support/TestSupport.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <httplib.h>
#include <libpq-fe.h>
#include <regex>
#include <set>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <utime.h>

using namespace zdxserver;

namespace {

TEST(Protocol, Parameters) {
    const Params p = ParseTarget("/s?site=x&query0=a%20b%3Dc+d%zz%4&&flag&x=%41%42&x=2");
    EXPECT_EQ(p.Get("site"), "x");
    EXPECT_EQ(p.Get("query0"), "a b=c+d%zz%4"); // invalid escapes kept, '+' kept
    EXPECT_EQ(p.Get("flag"), "");
    EXPECT_EQ(p.Get("x"), "AB");
    EXPECT_FALSE(p.Has("none"));
    EXPECT_FALSE(ParseTarget("/s").Has("site"));
    std::string many = "/s?";
    for (int i = 0; i < 10000; ++i)
        many += "p" + std::to_string(i) + "=1&";
    EXPECT_EQ(ParseTarget(many).items.size(), 1000u);
}

TEST(Protocol, QueryText) {
    EXPECT_EQ(DecodeQueryText("ab=\r\ncd"), "abcd");
    EXPECT_EQ(DecodeQueryText("ab=%0D%0Acd"), "abcd");        // as the request line has it
    EXPECT_EQ(DecodeQueryText("ab%3D%0D%0Acd"), "ab=\r\ncd"); // the user's own "=" stays
    EXPECT_EQ(DecodeQueryText("M%FCller"), "M\xC3\xBCller");
    // The query language, as FTS5 gets it (PostgreSQL's form: the searches in EndToEnd).
    const std::pair<const char*, const char*> kFts[] = {
        {"budget  review", "(\"budget\" AND \"review\")"},
        {"\"annual plan\"", "\"=annual plan\""},
        {"budget OR holiday", "(\"budget\" OR \"holiday\")"},
        {"budget -travel", "(\"budget\" NOT \"travel\")"},
        {"budget NOT \"travel plans\"", "(\"budget\" NOT \"=travel plans\")"},
        {"e-mail", "(\"e\" AND \"mail\")"},
        {"(a OR b) c", "((\"a\" OR \"b\") AND \"c\")"},
        {"\"quoted\" OR re* -x", "(\"=quoted\" OR (\"=re\"* NOT \"x\"))"},
        {"or and AND", "(\"or\" AND \"and\")"},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {"!!! ...", ""},
        {"-travel", ""}, // only exclusions: nothing to search (the user is told why)
        // The cost is bounded: a prefix needs two characters, at most 8 prefixes; a word given
        // again counts once.
        {"a* ab* bc* cd* de* ef* fg* gh* hi* ij*",
         "(\"a\" AND \"=ab\"* AND \"=bc\"* AND \"=cd\"* AND \"=de\"* AND \"=ef\"* AND \"=fg\"* AND "
         "\"=gh\"* AND \"=hi\"* AND \"ij\")"},
        {"plan budget plan budget* budget OR plan",
         "((\"plan\" AND \"budget\" AND \"=budget\"*) OR \"plan\")"},
    };
    for (const auto& [query, fts] : kFts)
        EXPECT_EQ(FtsExpression(query), fts) << query;
    EXPECT_EQ(ParseQuery("-travel NOT plan").problem, "Please add a word to search for.");
    EXPECT_EQ(ParseQuery("budget -travel").problem, "");
    std::string many;
    for (int i = 0; i < 200; ++i)
        many += "ab* w" + std::to_string(i) + " ";
    const std::string fts = FtsExpression(many);
    EXPECT_EQ(std::count(fts.begin(), fts.end(), 'w'), 31) << fts; // and the prefix once
}

TEST(Protocol, FileNamePatterns) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"*.pdf", "Report.PDF", true},
        {"*.pdf", "report.pdf.txt", false},
        {"b?dget*", "budget-rules.txt", true},
        {"*", "", true},
        {"?", "", false},
        {"B\xC3\x9C*", "b\xC3\xBCroordnung.txt", true}, // Latin-1 letters fold too
        {"a*b*c*d*e*f*g", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaab",
         false},
    };
    for (const auto& [pattern, name, match] : cases)
        EXPECT_EQ(MatchFileName(pattern, name), match) << pattern << " " << name;
}

// Catches a path that steps out of the root or names what the scan leaves out being served.
TEST(Protocol, PathsUnderRoot) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/b.txt", "/r/a/b.txt"},
        {"..", nullptr},
        {"../x", nullptr},
        {"a/../../x", nullptr},
        {"a/..", nullptr},
        {"a/../b.txt", nullptr}, // README: a ".." anywhere is answered 404
        {"./b.txt", nullptr},
        {"a/.git/config", nullptr}, // hidden component
        {".hidden.txt", nullptr},
        {"a//b.txt", nullptr},
        {"a/", nullptr},
        {"/etc/passwd", nullptr},
        {"a\nb", nullptr},
        {"", nullptr},
    };
    for (const auto& [relative, expected] : cases) {
        const std::optional<std::string> path = PathUnderRoot("/r", relative);
        EXPECT_EQ(path.value_or("(refused)"), expected ? expected : "(refused)") << relative;
    }
}

// Catches an option value taken in part ("5x" as 5) or out of range, and a message that does
// not say which option and what it takes.
TEST(Options, NumbersAreWholeAndInRange) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--rescan", "abc"},
         "--rescan takes a whole number of seconds from 1 to 86400, not 'abc'."},
        {{"--listen", "127.0.0.1:99999999"},
         "--listen takes a whole number for the port from 0 to 65535, not '99999999'."},
        {{"--sessions-per-user", "5x"}, "--sessions-per-user takes a whole number from 1 to"},
        {{"--session-idle-minutes", "0"}, "--session-idle-minutes takes a whole number of minutes"},
        {{"--rescan"}, "--rescan needs a value"},
        {{"--max-file-mb", "0"}, "--max-file-mb takes a whole number of megabytes"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> argv = {"zdx-server"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> pointers;
        for (std::string& a : argv)
            pointers.push_back(a.data());
        testing::internal::CaptureStderr();
        const CommandLine line =
            ParseCommandLine(static_cast<int>(pointers.size()), pointers.data());
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(line.action, CommandLine::Action::Exit) << args[0];
        EXPECT_EQ(line.exitCode, 2) << args[0];
        EXPECT_NE(err.find(message), std::string::npos) << err;
    }
    std::vector<std::string> good = {"zdx-server",
                                     "--listen",
                                     "[::1]:0",
                                     "--index",
                                     "d=/tmp",
                                     "--rescan",
                                     "+30",
                                     "--db",
                                     "x.sqlite",
                                     "--exclude",
                                     "*.iso",
                                     "--max-file-mb",
                                     "5",
                                     "--no-default-excludes",
                                     "--no-local-copy"};
    std::vector<char*> pointers;
    for (std::string& a : good)
        pointers.push_back(a.data());
    const CommandLine line = ParseCommandLine(static_cast<int>(pointers.size()), pointers.data());
    EXPECT_EQ(line.action, CommandLine::Action::Serve);
    EXPECT_EQ(line.options.host, "::1");
    EXPECT_EQ(line.options.port, 0);
    EXPECT_EQ(line.options.rescanSeconds, 30);
    EXPECT_FALSE(line.options.localCopy);
    // Every folder scans by the same rules.
    EXPECT_EQ(line.options.folders.at(0).rules.excludes, std::vector<std::string>{"*.iso"});
    EXPECT_EQ(line.options.folders.at(0).rules.maxFileBytes, 5 << 20);
}

// Ranges of a 22-byte file: merged, checked against its end, at most 8.
TEST(Protocol, Ranges) {
    using Kind = RangeRequest::Kind;
    using R = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
    const struct {
        const char* header;
        Kind kind;
        R ranges;
    } cases[] = {
        {"", Kind::Whole, {}},
        {"items=0-5", Kind::Whole, {}},
        {"bytes=5-2", Kind::Whole, {}},
        {"bytes=x-2", Kind::Whole, {}},
        {"bytes=0-5", Kind::Ranges, {{0, 5}}},
        {"bytes=0-5,0-5,3-8", Kind::Ranges, {{0, 8}}},
        {"bytes=0-1073741823,0-1073741823", Kind::Ranges, {{0, 21}}},
        {"bytes=10-12, 0-2", Kind::Ranges, {{0, 2}, {10, 12}}},
        {"bytes=0-2,3-4", Kind::Ranges, {{0, 4}}}, // adjacent
        {"bytes=-5", Kind::Ranges, {{17, 21}}},
        {"bytes=-50", Kind::Ranges, {{0, 21}}},
        {"bytes=20-", Kind::Ranges, {{20, 21}}},
        {"bytes=0-1,100-200", Kind::Ranges, {{0, 1}}},
        {"bytes=22-30", Kind::Unsatisfiable, {}},
        {"bytes=100-200,50-", Kind::Unsatisfiable, {}},
        {"bytes=0-0,2-2,4-4,6-6,8-8,10-10,12-12,14-14",
         Kind::Ranges,
         {{0, 0}, {2, 2}, {4, 4}, {6, 6}, {8, 8}, {10, 10}, {12, 12}, {14, 14}}},
        {"bytes=0-0,2-2,4-4,6-6,8-8,10-10,12-12,14-14,16-16", Kind::Whole, {}},
    };
    for (const auto& c : cases) {
        const RangeRequest r = ParseRanges(c.header, 22);
        EXPECT_EQ(r.kind, c.kind) << c.header;
        EXPECT_EQ(r.ranges, c.ranges) << c.header;
    }
}

TEST(Protocol, FieldsAndLinks) {
    EXPECT_EQ(PageField("a|b\r\nc\td \xE2\x82\xAC \xCE\xA9"), "a/b  c d \x80 ?");
    EXPECT_EQ(EscapeLink("/srv/caf\xC3\xA9 notes/a+b.md"), "/srv/caf%82 notes/a%2Bb.md");
    EXPECT_EQ(EscapeLink("C:\\docs\\q 2.pdf"), "C:\\docs\\q 2.pdf");
    EXPECT_EQ(EscapeLink("/srv/\xE2\x82\xAC.txt"), std::nullopt); // IBM850 has no euro sign
    EXPECT_EQ(UrlEscapePath("a b/\xC3\xA9?.txt"), "a%20b/%C3%A9%3F.txt");
    EXPECT_EQ(SummaryLine(0, 25, "guest"), "0|25|1||guest\n");
    EXPECT_EQ(SummaryLine(-1, 0, ""), "-1|0|0||\n");
    Hit hit;
    hit.title = "T|x";
    hit.relevance = 88;
    hit.description = "d";
    hit.date = "2006-05-01";
    hit.format = "PDF";
    hit.indexName = "docs";
    hit.link = "C%3A";
    hit.author = "A";
    hit.size = 123;
    EXPECT_EQ(HitLine(17, hit), "17|T/x|88|d|2006-05-01|PDF|docs|||C%3A|A|123\n");
    // Asked for UTF-8: the texts as they are, the link's UTF-8 bytes escaped; the words the
    // description holds after the twelfth field.
    const Charset utf8 = Charset::Utf8;
    EXPECT_EQ(PageField("\xCE\xA9|\xE2\x82\xAC", utf8), "\xCE\xA9/\xE2\x82\xAC");
    EXPECT_EQ(EscapeLink("/srv/\xE2\x82\xAC.txt", utf8), "/srv/%E2%82%AC.txt");
    EXPECT_EQ(ClientText("\xCE\xA9", utf8), "\xCE\xA9");
    EXPECT_EQ(ClientText("\xE9", utf8), "\xC3\xA9"); // not UTF-8: read as Windows-1252
    EXPECT_EQ(ClientText("\xCE\xA9", Charset::Windows1252), "\xC3\x8E\xC2\xA9");
    EXPECT_EQ(CharsetOf(ParseTarget("s?charset=utf-8")), utf8);
    hit.description = "\xCE\xB1 Budgets";
    hit.matches = {"\xCE\xB1", "Budgets"};
    EXPECT_EQ(HitLine(1, hit, utf8),
              "1|T/x|88|\xCE\xB1 Budgets|2006-05-01|PDF|docs|||C%3A|A|123|\xCE\xB1 Budgets\n");
    EXPECT_EQ(HitLine(1, hit), "1|T/x|88|? Budgets|2006-05-01|PDF|docs|||C%3A|A|123|? Budgets\n");
}

TEST(Words, ExcerptsShowWhereTheWordsStandClosest) {
    const std::string body = "one two three four five six seven Budget eight nine ten";
    const std::string far = "A budget at first, then a long stretch of other words that says "
                            "nothing at all for quite a while, and at last the planning of "
                            "budgets for the Café.";
    const std::string lines = "Budget rules\n\nEach team manages its budget.";
    // The text is looked at 16 bytes at a time: words that go on past the 16th and the 48th.
    const std::string inside = "0123456789abcdefbudget BUDGET, and more words afterbudget";
    // ...and words that start on a block's last byte (the 16th and the 32nd).
    const std::string edges = "0123456789abcd Budget 01234567 BUDGET and budget more words here";
    std::string opens = "The budget, then plans; ";
    for (int i = 0; i < 8; ++i)
        opens += "a budget that plans, and a budget without them. ";
    const struct {
        const std::string& body;
        const char* query;
        std::size_t bytes;
        const char* text;
        std::vector<std::string> matches;
    } kCases[] = {
        {body, "budget", 20, "...seven Budget eight...", {"Budget"}},
        {body, "bud*", 200, body.c_str(), {"Budget"}},
        {body, "absent", 200, "", {}},
        // Stems, in either direction; the closest pair wins over the first word alone.
        {far,
         "budgets plan",
         60,
         "...a while, and at last the planning of budgets for the Café.",
         {"planning", "budgets"}},
        {far, "cafe", 20, "...for the Café.", {"Café"}},
        {"budget budget budget and then a long gap of other words, then plan budget",
         "budget plan",
         16,
         "...then plan budget",
         {"plan", "budget"}},
        // A phrase's words match as they stand; an excluded word is not shown.
        {far, "\"budget\" -planning", 30, "A budget at first, then a long...", {"budget"}},
        {far, "budget \"plans\"", 400, far.c_str(), {"budget", "budgets"}},
        // Line breaks read as one blank.
        {lines, "budget", 200, "Budget rules Each team manages its budget.", {"Budget", "budget"}},
        {inside, "budget", 200, inside.c_str(), {"BUDGET"}},
        {edges, "budget", 200, edges.c_str(), {"Budget", "BUDGET", "budget"}},
        {opens, "budget plan", 30, "...budget, then plans; a budget...", {"budget", "plans"}},
        // The best passage near the last place read: its context runs on past it.
        {"budget and some more filler, budget budget budgets and more text after it",
         "budget",
         30,
         "...filler, budget budget budgets...",
         {"budget"}},
    };
    // From any opening of the text, the same passage or none (the whole text then read).
    std::size_t fromOpenings = 0;
    for (const auto& c : kCases) {
        const auto parsed = ParseQuery(c.query);
        ASSERT_TRUE(parsed.root) << c.query;
        const Excerpt excerpt = BestExcerpt(c.body, *parsed.root, {"english"}, c.bytes);
        EXPECT_EQ(excerpt.text, c.text) << c.query;
        EXPECT_EQ(excerpt.matches, c.matches) << c.query;
        const PassageQuery passages(*parsed.root, {"english"});
        for (std::size_t n = 0; n < c.body.size(); ++n)
            if (const auto part =
                    passages.BestInOpening(std::string_view(c.body).substr(0, n), c.bytes)) {
                EXPECT_EQ(part->text, c.text) << c.query << " in " << n << " bytes";
                EXPECT_EQ(part->matches, c.matches) << c.query << " in " << n << " bytes";
                ++fromOpenings;
            }
    }
    EXPECT_GT(fromOpenings, 0u);
}

// A long text is kept packed, its opening as it stands; any part of it comes back as it was.
TEST(Words, PackedTextsComeBackAsTheyWere) {
    std::string zipf; // a text of the benchmark's kind: a few words, most of them often
    for (std::uint32_t i = 1; zipf.size() < 300000; i = i * 1103515245u + 12345u)
        zipf += std::string("xen kan lon min nen run zon tamin ").substr(0, 4 * (i >> 29)) + ' ';
    for (const std::string& text :
         {std::string("short"), std::string("\0starts with a zero", 20), zipf.substr(0, 2047),
          zipf.substr(0, 2048), zipf.substr(0, 5000), zipf}) {
        const std::string stored = PackText(text);
        EXPECT_EQ(IsPacked(stored), text.size() >= 2048 || text[0] == '\0') << text.size();
        EXPECT_EQ(TextLength(stored), text.size());
        if (!IsPacked(stored)) {
            EXPECT_EQ(stored, text);
            continue;
        }
        EXPECT_LT(stored.size(), text.size() * 3 / 4 + 64) << text.size();
        EXPECT_EQ(stored.substr(kPackedHeaderBytes, std::min<std::size_t>(text.size(), 100)),
                  text.substr(0, 100));
        std::string back;
        for (std::size_t limit : {std::size_t{0}, std::size_t{1000}, kPackedOpeningBytes,
                                  kPackedOpeningBytes + 1, std::size_t{4000}, std::string::npos}) {
            ASSERT_TRUE(UnpackText(stored, limit, back)) << text.size() << ' ' << limit;
            EXPECT_EQ(back, text.substr(0, limit)) << text.size() << ' ' << limit;
        }
    }
}

// Every document word is indexed under its own stem in its index's language, however many
// words of the same length come and go before it.
TEST(Words, DocumentWordsAreIndexedWithTheStemOfTheirLanguage) {
    std::string text;
    std::vector<std::string> words;
    const char* syllables[] = {"ka", "lo", "mi", "ne", "ru", "ta", "vo", "si"};
    const char* endings[] = {"ing", "ungen", "es", "ed"};
    for (int i = 0; i < 4000; ++i) {
        std::string word;
        for (int n = i + 8; n; n /= 8)
            word += syllables[n % 8];
        if (i % 50 == 0)
            word += word + word + word + word; // longer than the words kept for the next time
        words.push_back(word + endings[i % 4]);
        text += words.back() + ' ';
    }
    // With words of other scripts, for the words worked out ahead below.
    const std::string mixed = text + "Gr\xC3\xB6\xC3\x9F"
                                     "en \xE6\x9D\xB1\xE4\xBA\xAC caf\xC3\xA9s";
    // A title as long as the text, of other words: the text's words are not its own.
    std::string title;
    while (title.size() < mixed.size())
        title += "qu ";
    title.resize(mixed.size(), 'q');
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    RegisterWordTokenizer(db);
    const std::vector<std::string> languages = {"english", "german"};
    ASSERT_EQ(sqlite3_exec(db,
                           ("CREATE VIRTUAL TABLE t USING fts5(body, title, tokenize='" +
                            TokenizerArguments(languages) +
                            "'); CREATE VIRTUAL TABLE v USING fts5vocab(t, instance)")
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    for (std::size_t language = 0; language < languages.size(); ++language) {
        DocumentLanguage in(language);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO t(rowid, body, title) VALUES(?, ?, ?)", -1, &insert,
                           nullptr);
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(language));
        sqlite3_bind_text(insert, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        // A text as it stands, then its words worked out ahead (as a scan does on its walk's
        // thread): FTS5 gets the very same words at the same places.
        sqlite3_reset(insert);
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(language + 4));
        sqlite3_bind_text(insert, 2, mixed.data(), static_cast<int>(mixed.size()), SQLITE_STATIC);
        sqlite3_bind_text(insert, 3, title.data(), static_cast<int>(title.size()), SQLITE_STATIC);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        const std::string tokens = DocumentTokens(mixed, languages, language);
        const PackedFrom ahead(mixed, mixed, tokens);
        sqlite3_reset(insert);
        sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(language + 2));
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_finalize(insert);
    }
    const auto instances = [&](std::size_t doc) {
        std::vector<std::string> found;
        sqlite3_stmt* each = nullptr;
        sqlite3_prepare_v2(
            db, "SELECT term || ' ' || col || ' ' || offset FROM v WHERE doc = ? ORDER BY 1", -1,
            &each, nullptr);
        sqlite3_bind_int64(each, 1, static_cast<sqlite3_int64>(doc));
        while (sqlite3_step(each) == SQLITE_ROW)
            found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(each, 0)));
        sqlite3_finalize(each);
        return found;
    };
    for (std::size_t language = 0; language < languages.size(); ++language) {
        EXPECT_GT(instances(language + 4).size(), words.size());
        EXPECT_EQ(instances(language + 2), instances(language + 4)) << languages[language];
    }
    for (std::size_t language = 0; language < languages.size(); ++language) {
        std::set<std::string> expected, indexed;
        Stemmer stemmer(languages[language]);
        for (const std::string& word : words)
            if (const std::string stem = stemmer.Stem(word); stem != word)
                expected.insert('\x01' + stem);
        sqlite3_stmt* terms = nullptr;
        sqlite3_prepare_v2(db, "SELECT term FROM v WHERE doc = ? AND substr(term, 1, 1) = char(1)",
                           -1, &terms, nullptr);
        sqlite3_bind_int64(terms, 1, static_cast<sqlite3_int64>(language));
        while (sqlite3_step(terms) == SQLITE_ROW)
            indexed.insert(reinterpret_cast<const char*>(sqlite3_column_text(terms, 0)));
        sqlite3_finalize(terms);
        EXPECT_GE(expected.size(), words.size() / 4) << languages[language];
        EXPECT_EQ(indexed, expected) << languages[language];
    }
    sqlite3_close(db);
}

TEST(SignIn, BackOffByAddressAndName) {
    using namespace std::chrono_literals;
    SignInGuard guard;
    const auto t0 = SignInGuard::Clock::now();
    // Three failures are free (README's number, written out rather than the constant): the
    // third starts a back-off of 1 s that the fourth attempt meets, then 2 s, ...
    EXPECT_EQ(guard.Failed("10.0.0.1", "ann", t0), 0s);
    EXPECT_EQ(guard.Failed("10.0.0.1", "ann", t0), 0s);
    EXPECT_EQ(guard.Failed("10.0.0.1", "ann", t0), 1s);
    EXPECT_FALSE(guard.Allowed("10.0.0.1", "ann", t0 + 900ms));
    EXPECT_TRUE(guard.Allowed("10.0.0.1", "ann", t0 + 1100ms));
    EXPECT_EQ(guard.Failed("10.0.0.1", "ann", t0 + 1100ms), 2s);
    // The name is backed off too, but a clean address still gets its password checked...
    EXPECT_TRUE(guard.Allowed("10.0.0.2", "ann", t0 + 1200ms));
    // ...unless it has failed before.
    guard.Failed("10.0.0.3", "bob", t0);
    EXPECT_FALSE(guard.Allowed("10.0.0.3", "ann", t0 + 1200ms));
    // A success clears the name.
    guard.Succeeded("10.0.0.2", "ann");
    EXPECT_TRUE(guard.Allowed("10.0.0.3", "ann", t0 + 1200ms));
    // Signing in to one's own account between guesses at another's buys no more guesses: the
    // address's failures stay.
    SignInGuard trick;
    int checked = 0;
    for (int i = 0; i < 10; ++i) {
        if (trick.Allowed("10.0.0.7", "alice", t0)) {
            ++checked;
            trick.Failed("10.0.0.7", "alice", t0);
        }
        if (trick.Allowed("10.0.0.7", "mallory", t0))
            trick.Succeeded("10.0.0.7", "mallory");
    }
    EXPECT_EQ(checked, 3);
    // Guesses at one name from 200 addresses, one each, after the name has failed five times:
    // ten checks a minute, whatever the addresses (README's numbers).
    SignInGuard spread;
    for (int i = 0; i < 5; ++i)
        if (spread.Allowed("10.9.0." + std::to_string(i), "carol", t0))
            spread.Failed("10.9.0." + std::to_string(i), "carol", t0);
    int spreadChecks = 0;
    for (int i = 0; i < 200; ++i) {
        const std::string address = "10.8." + std::to_string(i / 250) + "." + std::to_string(i);
        if (spread.Allowed(address, "carol", t0 + 30s)) {
            ++spreadChecks;
            spread.Failed(address, "carol", t0 + 30s);
        }
    }
    EXPECT_EQ(spreadChecks, 10);
    EXPECT_TRUE(spread.Allowed("10.7.0.1", "carol", t0 + 91s)); // the next minute
    // A check that never ended (its process died) stops counting after 30 s.
    SignInGuard cut;
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(cut.Allowed("10.6.0.1", "dan", t0));
    EXPECT_FALSE(cut.Allowed("10.6.0.1", "dan", t0 + 1s));
    EXPECT_TRUE(cut.Allowed("10.6.0.1", "dan", t0 + 31s));
    // The back-off is capped at five minutes.
    SignInGuard capped;
    std::chrono::steady_clock::duration last{};
    for (int i = 0; i < 30; ++i)
        last = capped.Failed("10.0.0.9", "x", t0);
    EXPECT_EQ(last, std::chrono::steady_clock::duration(5min));
}

TEST(SignIn, SessionsExpireAndAreCapped) {
    Sessions sessions(std::chrono::milliseconds(50), 2);
    const std::string first = sessions.Create("ann");
    const std::string second = sessions.Create("ann");
    const std::string third = sessions.Create("ann"); // the oldest of ann's goes
    EXPECT_EQ(sessions.UserOf(first), "");
    EXPECT_EQ(sessions.UserOf(second), "ann");
    EXPECT_EQ(sessions.UserOf(third), "ann");
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(sessions.UserOf(third), ""); // idle too long
}

TEST(Extract, Formats) {
    Extracted html = ExtractText("x.html", "<html><head><title>The &amp; Title</title>"
                                           "<meta name=\"author\" content=\"Ann\"></head><body>"
                                           "<script>var x=1;</script><p>Hello <b>world</b></p>");
    EXPECT_EQ(html.title, "The & Title");
    EXPECT_EQ(html.author, "Ann");
    EXPECT_EQ(html.format, "HTML");
    EXPECT_EQ(html.body.find("var x"), std::string::npos);
    EXPECT_NE(html.body.find("Hello world"), std::string::npos);
    Extracted md = ExtractText("n.md", "---\nauthor: Bo\n---\nintro\n# Heading one\ntext");
    EXPECT_EQ(md.title, "Heading one");
    EXPECT_EQ(md.author, "Bo");
    Extracted txt = ExtractText("t.txt", "Short title\n\nand the text");
    EXPECT_EQ(txt.title, "Short title");
    // Lines stay (the preview shows them), blanks within them collapse.
    EXPECT_EQ(ExtractText("t.txt", "a  b\n\n\n\nc \r\n d\fe").body, "a b\n\nc\nd e");
    EXPECT_EQ(ExtractText("p.html", "<p>one\ntwo</p><p>three</p>").body, "one two\n\nthree");
    Extracted binary = ExtractText("b.txt", std::string("ab\0cd", 5));
    EXPECT_FALSE(binary.textual);
    EXPECT_EQ(binary.title, "b.txt");
    Extracted other = ExtractText("photo.jpg", "\xFF\xD8");
    EXPECT_EQ(other.format, "JPG");
    EXPECT_EQ(other.body, "");
    EXPECT_EQ(ExtractText("w.txt", "Gr\xFC\xDF"
                                   "e\nmore")
                  .title,
              "Gr\xC3\xBC\xC3\x9F"
              "e");
}

// Documents made by real tools (tests/data/documents/make.sh), read by the extractor process
// in a scan: each one's own word finds it, with its title, author and format.
TEST(Extract, EveryKindOfDocumentIsFoundByItsWords) {
    TempDir dir;
    std::filesystem::copy(ZDX_DOCUMENTS_DIR, dir.File("docs"));
    std::filesystem::remove(dir.File("docs/make.sh"));
    dir.Write("docs/README.Debian", "Notes for Debian\n\nThe ocelot package.");
    dir.Write("docs/AUTHORS", "Authors\n\nJos\xE9 and the marmot."); // Windows-1252
    dir.Write("docs/page.html", "<html><head><title>GCC 12 &mdash; Changes</title><style>p{}"
                                "</style></head><body><p>&ldquo;Software&rdquo; &#x2014; ibex"
                                "</p><script>var hidden;</script></body></html>");
    dir.Write("docs/notes.md", "# Heading with [link](http://x.org) **bold**\n\nThe jackal.");
    SqliteStore store(dir.File("idx.sqlite"), {{"d", dir.File("docs")}});
    store.Scan();
    struct Row {
        const char *word, *title, *author, *format;
    };
    const Row rows[] = {
        {"zebrafish", "Quarterly Word Report", "Ann Author", "Word"},
        {"narwhal", "Slides About Plans", "Ann Author", "PowerPoint"},
        {"capybara", "Budget Sheet", "Cy Counter", "Excel"},
        {"okapi", "Budget Sheet", "Cy Counter", "Excel"}, // typed into its cell
        {"axolotl", "Open Text Notes", "Ann Author", "OpenDocument Text"},
        {"pangolin", "A Small Book", "Ann Author", "EPUB"},
        {"quokka", "Rich Memo", "Ann Author", "RTF"},
        {"wombat", "Paper On Three Pages", "Bo Writer", "PDF"}, // on its third page
        {"meerkat", "Travel plans for March", "Dee Sender <dee@example.org>", "E-mail"},
        {"tapir", "Travel plans for March", "Dee Sender <dee@example.org>", "E-mail"},
        {"lemur", "box.mbox", "Eve <eve@example.org>", "Mailbox"}, // its second message
        {"ocelot", "Notes for Debian", "", "Text"},
        {"marmot", "Authors", "", "Text"},
        {"ibex", "GCC 12 \xE2\x80\x94 Changes", "", "HTML"},
        {"software", "GCC 12 \xE2\x80\x94 Changes", "", "HTML"},
        {"jackal", "Heading with link bold", "", "Markdown"},
        {"hidden", nullptr, nullptr, nullptr},    // a script's text is no text
        {"helvetica", nullptr, nullptr, nullptr}, // nor is an RTF file's font table
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.word);
        SearchRequest request;
        request.query = row.word;
        const SearchResult result = store.Search(request);
        if (!row.title) {
            EXPECT_EQ(result.found, 0);
            continue;
        }
        ASSERT_EQ(result.found, 1);
        EXPECT_EQ(result.documents[0].title, row.title);
        EXPECT_EQ(result.documents[0].author, row.author);
        EXPECT_EQ(result.documents[0].format, row.format);
    }
    // The mail is dated by its Date; the PDF keeps its page breaks.
    SearchRequest mail;
    mail.query = "meerkat";
    EXPECT_EQ(store.Search(mail).documents.at(0).mtime, 1772532000);
    const Extracted pdf = ReadPdf(TempDir::Read(dir.File("docs/paper.pdf")));
    ASSERT_EQ(std::count(pdf.body.begin(), pdf.body.end(), '\f'), 2);
    EXPECT_NE(pdf.body.find("wombat", pdf.body.rfind('\f')), std::string::npos);
}

// A zip bomb, a truncated PDF, an extractor that hangs or crashes: each costs its own document
// (indexed by name) and nothing else.
TEST(Extract, ADocumentThatBreaksTheExtractorCostsOnlyItself) {
    TempDir dir;
    std::filesystem::copy(ZDX_DOCUMENTS_DIR, dir.File("docs"));
    std::filesystem::remove(dir.File("docs/make.sh"));
    const std::string pdf = TempDir::Read(dir.File("docs/paper.pdf"));
    dir.Write("docs/truncated.pdf", pdf.substr(0, pdf.size() / 3));
    // A Word file whose 200 MB text part packs into a few hundred kilobytes.
    ASSERT_EQ(std::system(("python3 -c 'import zipfile\n"
                           "z = zipfile.ZipFile(\"" +
                           dir.File("docs/bomb.docx") +
                           "\", \"w\", zipfile.ZIP_DEFLATED)\n"
                           "z.writestr(\"[Content_Types].xml\", \"<Types/>\")\n"
                           "with z.open(\"word/document.xml\", \"w\") as part:\n"
                           "    part.write(b\"<d><t>\")\n"
                           "    for i in range(200): part.write(b\" \" * 1048576)\n"
                           "z.close()'")
                              .c_str()),
              0);
    ASSERT_LT(std::filesystem::file_size(dir.File("docs/bomb.docx")), 1u << 20);
    // Read here, the bomb takes no more memory than the limits allow.
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_TRUE(ReadZipDocument(TempDir::Read(dir.File("docs/bomb.docx"))).body.empty());
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 150 * 1024);
    SqliteStore store(dir.File("idx.sqlite"), {{"d", dir.File("docs")}});
    const ScanStats stats = store.Scan();
    EXPECT_EQ(stats.added, 11);
    for (const char* word : {"zebrafish", "wombat", "lemur"}) {
        SearchRequest request;
        request.query = word;
        EXPECT_EQ(store.Search(request).found, 1) << word;
    }
    SearchRequest byName;
    byName.fileFilter = "*.pdf";
    EXPECT_EQ(store.Search(byName).found, 2);
    // The scan's record names the documents it could not read, and why.
    const ScanRecord record = LastScans();
    EXPECT_GT(record.endedAt, 0);
    ASSERT_FALSE(record.problems.empty());
    EXPECT_EQ(record.problems.back().path.substr(record.problems.back().path.rfind('/')),
              "/truncated.pdf");

    // The watchdog and a crash, with extractors that do just that.
    dir.Write("hang", "#!/bin/sh\nexec sleep 30\n");
    dir.Write("crash", "#!/bin/sh\nkill -SEGV $$\n");
    for (const char* program : {"hang", "crash"})
        chmod(dir.File(program).c_str(), 0755);
    Extractor hangs(dir.File("hang"), 1);
    EXPECT_EQ(hangs.Read("a.pdf", "%PDF-", false).failure, "it took longer than 1 s");
    Extractor crashes(dir.File("crash"), 1);
    EXPECT_EQ(crashes.Read("a.pdf", "%PDF-", false).failure,
              "the extractor crashed on it (Segmentation fault)");
    Extractor real(Extractor::FindProgram(), 10);
    EXPECT_FALSE(real.Read("t.pdf", pdf.substr(0, 100), false).read);
    EXPECT_EQ(real.Read("p.pdf", pdf, false).text.title, "Paper On Three Pages");
}

void SetAge(const std::string& path, int days) {
    const time_t when = time(nullptr) - static_cast<time_t>(days) * 86400;
    utimbuf times{when, when};
    utime(path.c_str(), &times);
}

class IndexTest : public testing::Test {
protected:
    void SetUp() override {
        m_dir.Write("a/budget.txt", "Budget plan\n\nThe budget for next year.");
        m_dir.Write("a/sub/review.md", "# Budget review\n\nbudget budget budget");
        m_dir.Write("b/notes.html", "<title>Notes</title><p>Meeting notes, no money talk.</p>");
        m_dir.Write("b/image.png", std::string("\x89PNG\0\0", 6));
        SetAge(m_dir.File("a/budget.txt"), 100);
    }
    std::unique_ptr<SqliteStore> Open() {
        return std::make_unique<SqliteStore>(
            m_dir.File("idx.sqlite"),
            std::vector<IndexedFolder>{{"a", m_dir.File("a")}, {"b", m_dir.File("b")}});
    }
    TempDir m_dir;
};

// A folder on the way swapped for a link to outside the index, at the worst moment: right
// before the file below it is opened. Neither the route's opener nor the scan may follow it.
std::string g_swapFolder, g_swapTarget;
void SwapFolderForLink(std::string_view) {
    if (g_swapFolder.empty())
        return;
    std::filesystem::rename(g_swapFolder, g_swapFolder + ".moved");
    std::filesystem::create_directory_symlink(g_swapTarget, g_swapFolder);
    g_swapFolder.clear();
}

TEST_F(IndexTest, NothingOutsideTheFolderIsOpenedOrIndexed) {
    m_dir.Write("outside/sub/review.md", "secret outside words");
    m_dir.Write("outside/secret.txt", "secret outside words");
    const int root = OpenRoot(m_dir.File("a"));
    ASSERT_GE(root, 0);
    g_swapFolder = m_dir.File("a/sub");
    g_swapTarget = m_dir.File("outside/sub");
    SetBeneathHook(SwapFolderForLink);
    EXPECT_EQ(OpenBeneath(root, "sub/review.md", false), -1); // the route's way of opening
    SetBeneathHook(nullptr);
    // Pipes (without waiting for a writer), "..", links and folders where a file is wanted.
    ASSERT_EQ(mkfifo(m_dir.File("a/pipe").c_str(), 0644), 0);
    std::filesystem::create_symlink(m_dir.File("outside/secret.txt"), m_dir.File("a/link.txt"));
    for (const char* path : {"pipe", "../outside/secret.txt", "sub/../budget.txt", "link.txt",
                             "sub", "/etc/passwd", "missing.txt"})
        EXPECT_EQ(OpenBeneath(root, path, false), -1) << path;
    // A device (where this account may make one).
    if (mknod(m_dir.File("a/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        EXPECT_EQ(OpenBeneath(root, "null", false), -1);
    }
    const int file = OpenBeneath(root, "budget.txt", false);
    EXPECT_GE(file, 0);
    close(file);
    close(root);

    // The scan lists a/sub as a folder, then finds a link there when it opens it.
    std::filesystem::remove(m_dir.File("a/sub"));
    std::filesystem::rename(m_dir.File("a/sub.moved"), m_dir.File("a/sub"));
    auto index = Open();
    g_swapFolder = m_dir.File("a/sub");
    SetBeneathHook(SwapFolderForLink);
    index->Scan();
    SetBeneathHook(nullptr);
    SearchRequest request;
    request.query = "secret";
    EXPECT_EQ(index->Search(request).found, 0);
    request.query = "budget";
    EXPECT_GE(index->Search(request).found, 1); // the rest of the folder is indexed
}

// A store that fails while the walk reads ahead ends the scan with its error, never a hang.
TEST_F(IndexTest, AStoreThatFailsEndsTheScan) {
    for (int i = 0; i < 40; ++i)
        m_dir.Write("c/doc" + std::to_string(i) + ".txt", "budget " + std::to_string(i));
    struct FailingTarget : ScanTarget {
        int puts = 0;
        std::int64_t Put(const FileChange&) override {
            if (++puts == 2)
                throw std::runtime_error("disk full");
            return puts;
        }
        void Remove(std::int64_t) override {}
        void Tick() override {}
    } target;
    std::unordered_map<std::string, KnownFile> known;
    EXPECT_THROW(ScanFolders({{"c", m_dir.File("c")}}, known, target), std::runtime_error);
    EXPECT_EQ(target.puts, 2);
}

// A store that has lost its database: every call fails with the database's own words.
class LostStore : public DocumentStore {
public:
    ScanStats Scan() override { throw Lost(); }
    SearchResult Search(const SearchRequest&) override {
        if (costly)
            throw SearchTooCostly();
        throw Lost();
    }
    bool costly = false; // searches run out of time instead
    std::optional<std::int64_t> DocumentInode(const std::string&, const std::string&) override {
        throw Lost();
    }
    std::optional<std::string> DocumentText(const std::string&, const std::string&) override {
        throw Lost();
    }
    std::vector<IndexStatus> Status() override { throw Lost(); }
    const std::vector<IndexedFolder>& Folders() const override { return m_folders; }

private:
    static std::runtime_error Lost() {
        return std::runtime_error("cannot connect to PostgreSQL: connection refused");
    }
    std::vector<IndexedFolder> m_folders{{"docs", "/tmp"}};
};

// While the database is gone: 503 and the protocol's words, never a 500 or internal text.
TEST(Routes, AStoreThatFailsIsUnavailableNotAnError) {
    Backend backend{std::make_unique<LostStore>(), std::make_unique<Sessions>(),
                    std::make_unique<SignInGuard>()};
    ServerOptions options;
    Users users;
    Routes routes(options, backend, users);
    for (const char* target : {"/lvsearch/SearchServlet?query0=budget", "/zdx-files/docs/a.txt"}) {
        httplib::Request req;
        req.target = target;
        req.path = std::string(target).substr(0, std::string(target).find('?'));
        httplib::Response res;
        testing::internal::CaptureStderr();
        req.path.rfind("/zdx-files/", 0) == 0 ? routes.File(req, res) : routes.Servlet(req, res);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("PostgreSQL"), std::string::npos);
        EXPECT_EQ(res.status, 503) << target;
        EXPECT_EQ(res.body.find("PostgreSQL"), std::string::npos);
        for (const auto& [name, value] : res.headers)
            EXPECT_EQ(value.find("PostgreSQL"), std::string::npos) << name;
        if (req.path.rfind("/zdx-files/", 0) != 0) {
            EXPECT_EQ(res.body, "0|0|0||\n-3|The search service is not available.\n");
        }
    }
    // A search that ran out of time is the user's to change: a -3 line, not a failure.
    static_cast<LostStore&>(*backend.documents).costly = true;
    httplib::Request req;
    req.target = "/lvsearch/SearchServlet?query0=a*%20b*";
    req.path = "/lvsearch/SearchServlet";
    httplib::Response res;
    routes.Servlet(req, res);
    EXPECT_EQ(res.body, "0|0|0||\n-3|This search is too costly; please add words or make them "
                        "longer.\n");
}

TEST_F(IndexTest, ScanSearchAndKeepUpToDate) {
    auto index = Open();
    ScanStats stats = index->Scan();
    EXPECT_EQ(stats.added, 4);
    SearchRequest request;
    request.query = "budget";
    SearchResult result = index->Search(request);
    ASSERT_EQ(result.found, 2);
    EXPECT_EQ(result.documents[0].title, "Budget review"); // more often, and in the title
    EXPECT_EQ(result.documents[1].title, "Budget plan");
    EXPECT_LT(result.documents[0].score, result.documents[1].score);

    request.sinceSeconds = time(nullptr) - 30 * 86400;
    EXPECT_EQ(index->Search(request).found, 1);
    request.sinceSeconds = 0;
    request.indexes = {"b"};
    EXPECT_EQ(index->Search(request).found, 0);

    SearchRequest byName;
    byName.fileFilter = "*.PNG";
    result = index->Search(byName);
    ASSERT_EQ(result.found, 1);
    EXPECT_EQ(result.documents[0].format, "PNG");

    request = SearchRequest();
    request.query = "budget";
    request.maxHits = 1;
    result = index->Search(request);
    EXPECT_EQ(result.found, 2);
    EXPECT_EQ(result.documents.size(), 1u);

    // Unchanged files stay; a changed one is read again; a vanished one goes.
    EXPECT_EQ(index->Scan().unchanged, 4);
    m_dir.Write("b/notes.html", "<title>Notes</title><p>Now about the budget.</p>");
    SetAge(m_dir.File("b/notes.html"), 1);
    std::filesystem::remove(m_dir.File("a/budget.txt"));
    stats = index->Scan();
    EXPECT_EQ(stats.updated, 1);
    EXPECT_EQ(stats.removed, 1);
    request.maxHits = 10;
    result = index->Search(request);
    ASSERT_EQ(result.found, 2);
    EXPECT_EQ(result.documents[1].title, "Notes");
    // A word only in the title: the opening of the text stands for a passage.
    request.query = "notes";
    result = index->Search(request);
    ASSERT_EQ(result.found, 1);
    EXPECT_EQ(result.documents[0].snippet, "Now about the budget.");

    // A query of punctuation finds nothing; it is no error.
    request.query = "!!!";
    EXPECT_EQ(index->Search(request).found, 0);

    // Scores are FTS5's bm25() with the title weighing 5: texts of other lengths, words in
    // other forms, a word in the title or only there, places far apart (more than one byte
    // each, one of them ending in a byte 1).
    // Counted before the scan below, which adds both words to more documents.
    request.query = "plan OR budget";
    EXPECT_EQ(index->Search(request).found, 2);
    std::string filler;
    for (int i = 0; i < 300; ++i)
        filler += " word" + std::to_string(i % 37);
    m_dir.Write("b/r1.txt", "Plans\n\nplanning" + filler.substr(0, 200));
    m_dir.Write("b/r2.txt", "Other\n\nplanning plans plan plan budget");
    m_dir.Write("b/r3.txt", "Long plan plan plan plan plan\n\nplan" + filler +
                                " plan plan plan plan plan plan plan plan" + filler + " plan");
    m_dir.Write("b/r4.txt", "Short\n\nplan");
    std::string gap; // 127 places between two: the varint 129 is the bytes 0x81 0x01
    for (int i = 0; i < 126; ++i)
        gap += " x";
    m_dir.Write("b/r6.txt", "Gap\n\nplan" + gap + " plan plans");
    m_dir.Write("b/r7.html", "<title>More notes</title><p>A plan.</p>");
    std::string many = "Many\n\n"; // more places than a byte counts
    for (int i = 0; i < 300; ++i)
        many += "plan ";
    m_dir.Write("b/r8.txt", many);
    SetAge(m_dir.File("b/r4.txt"), 100);
    // A long text's passage near the end of the part searched for it (what lies beyond is
    // not read, its context is).
    std::string huge = "Huge\n\n";
    while (huge.size() < kExcerptScanBytes - 100)
        huge += "xx ";
    huge += "zebra quagga";
    while (huge.size() < kExcerptScanBytes + 1000)
        huge += " yy";
    m_dir.Write("b/huge.txt", huge);
    index->Scan();
    request = SearchRequest();
    request.query = "quagga";
    result = index->Search(request);
    ASSERT_EQ(result.found, 1);
    EXPECT_EQ(result.documents[0].snippet,
              BestExcerpt(huge, *ParseQuery("quagga").root, {"english"}).text);
    EXPECT_EQ(result.documents[0].snippet.substr(0, 9), "...xx xx ");
    // Kept packed; its text and its length come back as they were.
    EXPECT_TRUE(index->DocumentText("b", m_dir.File("b/huge.txt")) == huge);
    for (const IndexStatus& s : index->Status())
        EXPECT_GT(s.textBytes, s.name == "b" ? static_cast<std::int64_t>(huge.size()) : 0);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_dir.File("idx.sqlite").c_str(), &db), SQLITE_OK);
    RegisterWordTokenizer(db);
    // Each answer a fresh one (the count differs); words in a fifth of the documents or more are
    // weighed after their first search, and ranked from their weights once weighed.
    int maxHits = 999;
    const auto sameAsBm25 = [&](const char* when) {
        --maxHits;
        for (const char* query : {"plan OR budget", "plans", "plan word5", "\"plan plan\"", "word5",
                                  "\"plan\"", "plan*", "notes"}) {
            request = SearchRequest();
            request.query = query;
            request.maxHits = maxHits;
            std::map<std::string, double> scores;
            for (const Document& d : index->Search(request).documents)
                scores[d.path] = d.score;
            sqlite3_stmt* bm25 = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(db,
                                         "SELECT d.path, bm25(fts, 1.0, 5.0) FROM fts JOIN docs d"
                                         " ON d.id = fts.rowid WHERE fts MATCH ?1",
                                         -1, &bm25, nullptr),
                      SQLITE_OK);
            const std::string fts = FtsSyntax(*ParseQuery(query).root);
            sqlite3_bind_text(bm25, 1, fts.c_str(), -1, SQLITE_TRANSIENT);
            std::size_t rows = 0;
            for (; sqlite3_step(bm25) == SQLITE_ROW; ++rows) {
                const std::string path =
                    reinterpret_cast<const char*>(sqlite3_column_text(bm25, 0));
                ASSERT_TRUE(scores.count(path)) << when << query << ": " << path;
                EXPECT_NEAR(scores[path], sqlite3_column_double(bm25, 1), 1e-9)
                    << when << query << path;
            }
            EXPECT_EQ(rows, scores.size()) << when << query;
            EXPECT_GE(rows, 2u) << when << query;
            sqlite3_finalize(bm25);
        }
    };
    const auto weighed = [&](std::size_t phrases = 3) {
        for (int i = 0; i < 500 && index->WeightsKept() < phrases; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return index->WeightsKept();
    };
    sameAsBm25("first: ");
    ASSERT_GE(weighed(), 3u); // "plans", "plan", "plan*"
    sameAsBm25("weighed: ");
    // A weighed word's hits pass the date and index filters as those FTS5 matches do ("short",
    // in one document) and those found by their name alone: r4.txt is 100 days old, and index
    // a holds neither word nor file.
    for (const auto& [query, name] : {std::pair{"plans", ""}, {"short", ""}, {"", "r4.txt"}}) {
        request = SearchRequest();
        request.query = query;
        request.fileFilter = name;
        const std::int64_t everywhere = index->Search(request).found;
        EXPECT_GE(everywhere, 1) << query << name;
        request.sinceSeconds = time(nullptr) - 30 * 86400;
        EXPECT_EQ(index->Search(request).found, everywhere - 1) << query << name;
        request.sinceSeconds = 0;
        request.indexes = {"a"};
        EXPECT_EQ(index->Search(request).found, 0) << query << name;
    }
    // Other rows and counts: weights of the old rows are never used.
    m_dir.Write("b/r5.txt", "More\n\nplan plan word5");
    index->Scan();
    sameAsBm25("rescanned: ");
    ASSERT_GE(weighed(), 3u);
    sameAsBm25("weighed again: ");
    // A removed file's words leave the index (a later file may take its row number).
    std::filesystem::remove(m_dir.File("b/huge.txt"));
    index->Scan();
    sqlite3_stmt* left = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM fts WHERE fts MATCH 'quagga'", -1, &left,
                                 nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(left), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(left, 0), 0);
    sqlite3_finalize(left);
    // The words in a fifth of the documents or more are weighed a moment after the documents are
    // first loaded, before any search asks for them ("plan"); after later loads, once the
    // folders have been quiet for a while.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(index->WeightsKept(), 0u);
    index->WeighSoon(); // unless the run of loads is said to be over
    EXPECT_GE(weighed(1), 1u);
    index = Open();
    EXPECT_GE(weighed(1), 1u);
    // A packed text's words are its own (616 of them), not those of its packed bytes.
    sqlite3_stmt* size = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT s.sz FROM fts_docsize s JOIN docs d ON d.id = s.id"
                                 " WHERE d.path = ?1",
                                 -1, &size, nullptr),
              SQLITE_OK);
    sqlite3_bind_text(size, 1, m_dir.File("b/r3.txt").c_str(), -1, SQLITE_TRANSIENT);
    ASSERT_EQ(sqlite3_step(size), SQLITE_ROW);
    ASSERT_GE(sqlite3_column_bytes(size, 0), 2);
    const auto* sizes = static_cast<const unsigned char*>(sqlite3_column_blob(size, 0));
    EXPECT_EQ(((sizes[0] & 0x7f) << 7) | sizes[1], 616); // the body's, a varint of two bytes
    sqlite3_finalize(size);
    sqlite3_close(db);
    // When the openings of the first few dozen hits settle no passage, the texts of the rest are
    // read whole at once, or as far as a stretch past the opening settles it (the words in the
    // first half of these texts): each passage is still the one the whole text gives.
    std::map<std::string, std::string> far;
    for (int i = 0; i < 40; ++i) {
        std::string text = "Far " + std::to_string(i) + "\n\n";
        while (text.size() < kPackedOpeningBytes + 100 * static_cast<std::size_t>(i))
            text += "yy ";
        text += "wombat yy numbat" + filler + filler;
        const std::string name = "b/far" + std::to_string(i) + ".txt";
        m_dir.Write(name, text);
        far[m_dir.File(name)] = text;
    }
    index->Scan();
    request = SearchRequest();
    request.query = "wombat numbat";
    result = index->Search(request);
    ASSERT_EQ(result.found, 40);
    for (const Document& d : result.documents)
        EXPECT_EQ(d.snippet,
                  BestExcerpt(far[d.path], *ParseQuery(request.query).root, {"english"}).text)
            << d.path;
}

// What a scan leaves out: default folders, patterns by name and by path, large files' text.
TEST_F(IndexTest, ExcludedFilesAndLargeFiles) {
    for (const char* file :
         {"a/node_modules/m.txt", "a/build-debug/b.txt", "a/src/__pycache__/p.txt",
          "a/keep/notes.txt", "a/keep/draft.iso", "a/disk/x.txt"})
        m_dir.Write(file, "Walrus notes\n\nthe walrus text");
    m_dir.Write("a/big.txt", "Walrus big\n\n" + std::string(3000, 'w') + " walrus");
    ScanRules rules{kDefaultExcludes, 2048};
    rules.excludes.push_back("*.iso");
    rules.excludes.push_back("disk/*");
    SqliteStore store(m_dir.File("idx.sqlite"), {{"a", m_dir.File("a"), rules}});
    store.Scan();
    SearchRequest request;
    request.query = "walrus";
    const SearchResult found = store.Search(request);
    ASSERT_EQ(found.found, 1);
    EXPECT_EQ(found.documents[0].name, "notes.txt");
    SearchRequest byName;
    byName.fileFilter = "big.txt"; // too large to read, indexed by name
    EXPECT_EQ(store.Search(byName).found, 1);
}

TEST_F(IndexTest, QuickSameSizeEditsAndNestedIndexes) {
    // "b2" is an index inside "a": each holds the file under it.
    m_dir.Write("a/b2/inner.txt", "Inner\n\nalpha words");
    SqliteStore index(m_dir.File("nested.sqlite"),
                      {{"a", m_dir.File("a")}, {"b2", m_dir.File("a/b2")}});
    index.Scan();
    SearchRequest request;
    request.query = "alpha";
    EXPECT_EQ(index.Search(request).found, 2);
    request.indexes = {"b2"};
    EXPECT_EQ(index.Search(request).found, 1);
    // The same size within the same second is a change all the same.
    m_dir.Write("a/b2/inner.txt", "Inner\n\ngamma words");
    EXPECT_EQ(index.Scan().updated, 2);
    request.query = "gamma";
    EXPECT_EQ(index.Search(request).found, 1);
}

TEST_F(IndexTest, AFolderThatCannotBeOpenedIsSkipped) {
    // A folder whose path is too long to open, met before the other files.
    std::string deep = m_dir.File("a/0");
    std::filesystem::create_directory(deep);
    int fd = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 20; ++i) {
        const std::string part(240, static_cast<char>('a' + i));
        ASSERT_EQ(mkdirat(fd, part.c_str(), 0755), 0);
        const int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    close(fd);
    for (int i = 0; i < 20; ++i)
        m_dir.Write("a/z" + std::to_string(i) + "/f.txt", "zeta file");
    auto index = Open();
    const ScanStats stats = index->Scan();
    EXPECT_GE(stats.skippedFolders, 1);
    SearchRequest request;
    request.query = "zeta";
    EXPECT_EQ(index->Search(request).found, 20);
}

// The answers kept stay within their bytes, whatever the requests: one over a tenth of the
// limit is not kept, none when the limit is 0.
TEST_F(IndexTest, TheAnswerCacheIsBoundedByBytes) {
    auto index = Open();
    index->Scan();
    SearchRequest request;
    request.query = "budget";
    index->SetCacheLimit(20000);
    for (int n = 1; n <= 50; ++n) {
        request.maxHits = n; // each a different answer
        index->Search(request);
        EXPECT_LE(index->CacheBytes(), 20000u);
    }
    EXPECT_GT(index->CacheBytes(), 0u);
    index->SetCacheLimit(0);
    request.maxHits = 51;
    const std::size_t before = index->CacheBytes();
    index->Search(request);
    EXPECT_EQ(index->CacheBytes(), before); // nothing more is kept
    index->SetCacheLimit(5000);             // a tenth: 500 bytes, less than any answer with hits
    index->Scan(); // a scan forgets what was kept only when documents changed
    EXPECT_EQ(index->CacheBytes(), before);
    request.maxHits = 52;
    const std::size_t kept = index->CacheBytes();
    index->Search(request);
    EXPECT_EQ(index->CacheBytes(), kept);
    // A search past its time limit is refused as too costly (no time at all here; enough
    // matches that the limit is looked at).
    for (int n = 0; n < 100; ++n)
        m_dir.Write("a/many/" + std::to_string(n) + ".txt", "budget");
    index->Scan();
    index->SetSearchMillis(0);
    request.maxHits = 53;
    EXPECT_THROW(index->Search(request), SearchTooCostly);
    // A service that is asked to stop ends a search under way, as no search too costly.
    index->SetSearchMillis(60000);
    const std::atomic<bool> stopping{true};
    SetScanStopFlag(&stopping);
    request.maxHits = 54;
    try {
        index->Search(request);
        ADD_FAILURE() << "a search went on while the service stopped";
    } catch (const SearchTooCostly&) {
        ADD_FAILURE() << "a stop taken for a costly search";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("stopping"), std::string::npos) << e.what();
    }
    SetScanStopFlag(nullptr);
    EXPECT_EQ(index->Search(request).found, 102);
}

TEST_F(IndexTest, SearchesReadOneSharedMappingOfTheDatabase) {
    const auto search = [](SqliteStore& index) {
        SearchRequest request;
        request.query = "budget";
        return index.Search(request).found;
    };
    const SharedMapCounts before = SharedMapCounted();
    {
        auto index = Open();
        index->Scan();
        // Searches at once, each on a connection of its own, and a second store of the file.
        std::vector<std::thread> searches;
        std::atomic<int> found{0};
        for (int i = 0; i < 4; ++i)
            searches.emplace_back([&] { found += search(*index); });
        for (auto& t : searches)
            t.join();
        EXPECT_EQ(found.load(), 8);
        EXPECT_EQ(search(*Open()), 2);
    }
    const SharedMapCounts after = SharedMapCounted();
    EXPECT_GT(after.fetches, before.fetches);
    EXPECT_EQ(after.mappings, before.mappings + 1);
    // A connection reads from the mapping only as far as its limit: the rest as SQLite does.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(m_dir.File("pages.sqlite").c_str(), &db,
                              SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, SharedMapVfs()),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "PRAGMA page_size = 4096; CREATE TABLE t(x);"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                           "WHERE i < 50) INSERT INTO t SELECT zeroblob(4000) FROM n",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    for (const auto& [limit, fewest, most] :
         {std::tuple{"1073741824", 50ull, 1000ull}, std::tuple{"4096", 0ull, 2ull}}) {
        const unsigned long long fetched = SharedMapCounted().fetches;
        ASSERT_EQ(sqlite3_exec(db, (std::string("PRAGMA mmap_size = ") + limit).c_str(), nullptr,
                               nullptr, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "SELECT sum(length(x)) FROM t", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        EXPECT_GE(SharedMapCounted().fetches - fetched, fewest) << limit;
        EXPECT_LE(SharedMapCounted().fetches - fetched, most) << limit;
    }
    sqlite3_close(db);
}

TEST_F(IndexTest, DatabaseIsPrivateAndBuiltAgainInAnotherLayout) {
    auto index = Open();
    index->Scan();
    // The database written as another build or another program would have written it.
    const auto writeApart = [&](const char* sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_dir.File("idx.sqlite").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    };
    // Written by a build that laid it out otherwise, or for other languages: built again.
    for (const char* change : {"PRAGMA user_version = 1", "UPDATE meta SET value = 'german'"}) {
        index.reset();
        writeApart(change);
        index = Open();
        EXPECT_EQ(index->Scan().added, 4) << change;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat info {};
        ASSERT_EQ(stat((m_dir.File("idx.sqlite") + suffix).c_str(), &info), 0) << suffix;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << suffix;
        // What the scan wrote is in the database, not left in the log on disk.
        if (suffix == std::string("-wal")) {
            EXPECT_EQ(info.st_size, 0);
        }
    }
    // A new database has pages of 8 KB, filled by FTS5's pages of words; one made with pages
    // of 4 KB keeps them, and FTS5's pages fit them.
    const struct {
        int made, pageBytes, wordPageBytes;
    } layouts[] = {{0, 8192, 8146}, {4096, 4096, 4050}};
    for (const auto& l : layouts) {
        index.reset();
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(m_dir.File("idx.sqlite") + suffix);
        if (l.made)
            writeApart("PRAGMA page_size = 4096; PRAGMA user_version = 1");
        index = Open();
        EXPECT_EQ(index->Scan().added, 4) << l.made;
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_dir.File("idx.sqlite").c_str(), &db), SQLITE_OK);
        sqlite3_stmt* read = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db,
                                     "SELECT (SELECT page_size FROM pragma_page_size),"
                                     " (SELECT v FROM fts_config WHERE k = 'pgsz')",
                                     -1, &read, nullptr),
                  SQLITE_OK);
        ASSERT_EQ(sqlite3_step(read), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(read, 0), l.pageBytes) << l.made;
        EXPECT_EQ(sqlite3_column_int(read, 1), l.wordPageBytes) << l.made;
        sqlite3_finalize(read);
        sqlite3_close(db);
    }
}

TEST_F(IndexTest, LinksOutsideTheFolderAreNotFollowed) {
    TempDir outside;
    outside.Write("secret.txt", "budget secret");
    std::filesystem::create_symlink(outside.File("secret.txt"), m_dir.File("a/link.txt"));
    std::filesystem::create_directory_symlink(outside.Path(), m_dir.File("a/linked-dir"));
    auto index = Open();
    index->Scan();
    SearchRequest request;
    request.query = "secret";
    EXPECT_EQ(index->Search(request).found, 0);
}

// A fresh PostgreSQL database for one test, when the tests run against PostgreSQL
// (ZDX_TEST_STORE=postgres, with the server's address in ZDX_TEST_POSTGRES); empty otherwise.
std::string FreshPostgresDatabase() {
    const char* store = std::getenv("ZDX_TEST_STORE");
    const char* base = std::getenv("ZDX_TEST_POSTGRES");
    if (!store || std::string(store) != "postgres" || !base || !*base)
        return {};
    static int count = 0;
    const std::string name = "zdx_test_" + std::to_string(getpid()) + "_" + std::to_string(++count);
    PGconn* db = PQconnectdb(base);
    PQclear(PQexec(db, ("CREATE DATABASE " + name).c_str()));
    const bool ok = PQstatus(db) == CONNECTION_OK;
    PQfinish(db);
    if (!ok)
        return {};
    const std::string url = base;
    return url.substr(0, url.rfind('/') + 1) + name;
}

// What a connection says before the service closes it (empty when it closes without a word),
// or "open" when it is still open after `seconds`.
std::string AnswerBeforeClose(int fd, int seconds = 1) {
    timeval wait{seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<std::size_t>(n));
    return n == 0 || (n < 0 && errno == ECONNRESET) ? answer : "open";
}

long ResidentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The service and the client, each run as a user runs them, over SQLite or PostgreSQL.
class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("ZDX_TEST_STORE")) {
            m_db = FreshPostgresDatabase();
            if (m_db.empty())
                GTEST_SKIP() << "no PostgreSQL to test against";
        } else {
            m_db = m_docs.File("index.sqlite");
        }
        m_docs.Write("handbook/budget-rules.txt", "Budget rules\n\nEach team manages its budget.");
        m_docs.Write("handbook/b\xC3\xBCroordnung.txt", "B\xC3\xBCroordnung\n\nDie B\xC3\xBCros.");
        m_docs.Write("projects/beacon-budget.md", "# Beacon budget\n\nSix weeks of budget.");
        m_docs.Write("projects/old-plan.txt", "Old plan\n\nA budget from long ago.");
        m_docs.Write("handbook/greek.md",
                     "\xCE\x9F \xCF\x80\xCF\x81\xCE\xBF\xCF\x8B\xCF\x80"
                     "\xCE\xBF\xCE\xBB\xCE\xBF\xCE\xB3\xCE\xB9\xCF\x83\xCE\xBC"
                     "\xCF\x8C\xCF\x82 \xCF\x84\xCE\xB7\xCF\x82 \xCE\xBF\xCE\xBC"
                     "\xCE\xAC\xCE\xB4\xCE\xB1\xCF\x82"); // Ο προϋπολογισμός της ομάδας
        m_docs.Write("projects/japan.md", "\xE6\x9D\xB1\xE4\xBA\xAC\xE3\x81\xAE\xE4\xBA\x88"
                                          "\xE7\xAE\x97 \xF0\x9F\x8E\x89"); // 東京の予算 🎉
        std::filesystem::copy(ZDX_DOCUMENTS_DIR "/box.mbox", m_docs.File("projects/box.mbox"));
        m_docs.Write("handbook/caf\xE9-menu", "The tapir special."); // a name not UTF-8
        SetAge(m_docs.File("projects/old-plan.txt"), 200);
        const ProcessResult added =
            RunProcess(ZDX_SERVER_BIN, {"--users", m_docs.File("users"), "--add-user", "ann"},
                       {m_docs.Path().string(), {}, "pa55 word\n"});
        ASSERT_EQ(added.exitCode, 0) << added.err;
    }
    // With the users file; anonymous searches are allowed unless `signInRequired`.
    void Start(std::vector<std::string> extra = {}, bool signInRequired = false) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0",
                                         "--index",  "handbook=" + m_docs.File("handbook"),
                                         "--index",  "projects=" + m_docs.File("projects"),
                                         "--db",     m_db,
                                         "--users",  m_docs.File("users")};
        if (!signInRequired)
            args.push_back("--allow-anonymous");
        args.insert(args.end(), extra.begin(), extra.end());
        m_server = std::make_unique<BackgroundProcess>(ZDX_SERVER_BIN, args);
        ASSERT_TRUE(m_server->WaitForOutput("listening on")) << m_server->Err();
        std::smatch port;
        const std::string out = m_server->Out();
        ASSERT_TRUE(std::regex_search(out, port, std::regex(R"(127\.0\.0\.1:(\d+)/)")));
        m_port = std::stoi(port[1]);
    }
    ProcessResult Query(std::vector<std::string> args, const std::string& settings = "",
                        const std::string& input = "") {
        const std::string ini = m_client.Write(
            "z.ini", "[Settings]\nAddress=127.0.0.1\nPort=" + std::to_string(m_port) + "\n" +
                         settings +
                         "[Indexes]\nIndex0=handbook\nIndex1=projects\nIndex2=nowhere\n"
                         "[List]\nColumns=4\nColumn0=0\nColumn1=2\nColumn2=6\nColumn3=1\n");
        args.insert(args.begin(), "-f" + ini);
        return RunProcess(
            ZDX_QUERY_BIN, args,
            {m_client.Path().string(),
             {{"HOME", m_client.Path().string()}, {"XDG_CONFIG_HOME", m_client.File(".config")}},
             input});
    }
    static std::vector<std::string> Column(const std::string& tsv, int column) {
        std::vector<std::string> values;
        std::istringstream in(tsv);
        std::string line;
        std::getline(in, line); // headings
        while (std::getline(in, line)) {
            for (int i = 0; i < column; ++i)
                line.erase(0, line.find('\t') + 1);
            values.push_back(line.substr(0, line.find('\t')));
        }
        return values;
    }

    TempDir m_docs, m_client;
    std::string m_db;
    std::unique_ptr<BackgroundProcess> m_server;
    int m_port = 0;
};

TEST_F(EndToEnd, SearchesOverHttp) {
    Start();
    ProcessResult r = Query({"budget"});
    ASSERT_EQ(r.exitCode, 0) << r.err << m_server->Err();
    EXPECT_NE(r.err.find("3 documents found"), std::string::npos) << r.err;
    EXPECT_EQ(Column(r.out, 0).size(), 3u);

    r = Query({"--index", "1", "budget"});
    EXPECT_EQ(Column(r.out, 1), (std::vector<std::string>{"beacon-budget.md", "old-plan.txt"}));

    r = Query({"--index", "1", "--date", "month", "budget"});
    EXPECT_EQ(Column(r.out, 1), (std::vector<std::string>{"beacon-budget.md"}));

    r = Query({"--filename", "*.TXT"});
    EXPECT_EQ(Column(r.out, 1).size(), 3u);

    // The query language, the same on both stores.
    const std::pair<std::vector<std::string>, std::size_t> kQueries[] = {
        {{"budget", "-beacon"}, 2},
        {{"beacon OR rules"}, 2},
        {{"\"six weeks\""}, 1},
        {{"\"weeks six\""}, 0},
        // Words match their stems, folded; quoted, as they stand.
        {{"budgets"}, 3},
        {{"\"budgets\""}, 0},
        {{"managing"}, 1},
        {{"buros"}, 1},
        {{"(beacon OR old) budget"}, 2},
        {{"tapir"}, 1},
        {{"--", "-budget NOT weeks"}, 0}, // the last
    };
    for (const auto& [args, hits] : kQueries) {
        std::vector<std::string> query = args;
        if (query.size() == 2 && query[0] != "--")
            query = {query[0] + " " + query[1]};
        r = Query(query);
        EXPECT_EQ(Column(r.out, 0).size(), hits) << query.back() << r.err;
    }
    EXPECT_NE(r.err.find("Please add a word to search for."), std::string::npos) << r.err;

    // A mailbox, read by the extractor while the service's standard error goes to a file.
    r = Query({"lemur"});
    EXPECT_EQ(Column(r.out, 1), (std::vector<std::string>{"box.mbox"})) << m_server->Err();
    // A hit's text: a document's from the service, a local text file's from the file itself;
    // nothing for a file outside the indexes.
    r = Query({"--text", m_docs.File("projects/box.mbox"), "lemurs"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("lemur"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Matches: lemur"), std::string::npos) << r.err;
    r = Query({"--text", m_docs.File("handbook/budget-rules.txt")});
    EXPECT_EQ(r.out, "Budget rules\n\nEach team manages its budget.");
    r = Query({"--text", m_docs.File("handbook/caf\xE9-menu")}); // from the service
    EXPECT_EQ(r.out, "The tapir special.") << r.err;
    r = Query({"--text", "/etc/hostname.conf"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("This document's text is not available: the service holds no text"),
              std::string::npos)
        << r.err;

    // A file name beyond ASCII comes back as the very path.
    r = Query({"--filename", "b\xC3\xBC*"});
    ASSERT_EQ(Column(r.out, 2).size(), 1u);
    EXPECT_EQ(Column(r.out, 2)[0], m_docs.File("handbook/b\xC3\xBCroordnung.txt"));

    // Any script with UTF-8 on the wire; the words the description holds come back marked.
    const std::string greek = "\xCF\x80\xCF\x81\xCE\xBF\xCF\x8B\xCF\x80\xCE\xBF\xCE\xBB"
                              "\xCE\xBF\xCE\xB3\xCE\xB9\xCF\x83\xCE\xBC\xCF\x8C\xCF\x82";
    const std::string budgetJa = "\xE4\xBA\x88\xE7\xAE\x97"; // 予算
    for (const std::string& word : {greek, budgetJa, std::string("\xF0\x9F\x8E\x89")}) {
        if (word.size() == 4 && std::getenv("ZDX_TEST_STORE"))
            continue; // PostgreSQL's parser keeps no symbols
        r = Query({"--charset", "utf-8", "--format", "json", word});
        EXPECT_NE(r.out.find("\"matches\":[\"" + (word == greek ? greek : word.substr(0, 3))),
                  std::string::npos)
            << word << r.out << r.err;
        EXPECT_NE(r.err.find("1 documents found"), std::string::npos) << word << r.err;
    }
    r = Query({greek}); // not without UTF-8
    EXPECT_EQ(r.exitCode, 2);

    // How the index is, readably.
    r = Query({"--status"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"name\": \"projects\",\n      \"documents\": 4,\n      "
                         "\"textBytes\": 383,"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"thisNodeIndexes\": true"), std::string::npos) << r.out;
    // With PostgreSQL the node's searches read its copy of the documents once it holds the
    // last change (a moment after the scan).
    const bool postgres = std::getenv("ZDX_TEST_STORE") != nullptr;
    for (int i = 0; postgres && i < 50 && r.out.find("\"current\": true") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        r = Query({"--status"});
    }
    EXPECT_EQ(r.out.find("\"current\": true") != std::string::npos, postgres) << r.out;

    r = Query({"--index", "2", "budget"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("Index not available"), std::string::npos) << r.err;

    r = Query({}); // neither query nor file filter
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Column(r.out, 0).size(), 0u);

    // Started again on the same index: every document is known as it was, the one whose name
    // is not UTF-8 too.
    m_server.reset();
    Start();
    EXPECT_NE(m_server->Err().find("0 new, 0 changed, 0 removed"), std::string::npos)
        << m_server->Err();
    EXPECT_EQ(Column(Query({"tapir"}).out, 0).size(), 1u);
}

// A node searches its own copy of the documents once the copy holds every change; until then
// it searches the database. (The database's words are taken away below, so that an answer
// tells which of the two gave it.)
TEST_F(EndToEnd, ANodeSearchesItsCopyWhenItHoldsEveryChange) {
    if (!std::getenv("ZDX_TEST_STORE"))
        GTEST_SKIP() << "PostgreSQL only";
    const std::vector<IndexedFolder> folders = {{"handbook", m_docs.File("handbook")},
                                                {"projects", m_docs.File("projects")}};
    auto store = std::make_unique<PgStore>(m_db, folders);
    store->Scan();
    SearchRequest budget;
    budget.query = "budget";
    const std::int64_t all = store->Search(budget).found;
    const std::int64_t documents = store->Search(SearchRequest{}).found;
    ASSERT_GT(all, 1);
    store->KeepCopy(m_docs.File("cache"), 0, false);
    store->CatchUp();
    PGconn* admin = PQconnectdb(m_db.c_str());
    const auto wordsGone = [&] { PQclear(PQexec(admin, "UPDATE zdx_docs SET tsv = NULL")); };
    wordsGone();
    EXPECT_EQ(store->Search(budget).found, all);

    // A change not yet taken: the database answers, and finds only the new file by its words.
    m_docs.Write("projects/zebra.txt", "Zebra budget");
    store->Scan();
    EXPECT_EQ(store->Search(budget).found, 1);
    store->CatchUp();
    wordsGone();
    EXPECT_EQ(store->Search(budget).found, all + 1);

    // A file changed; then removed and made again at its path: the copy ends with the last.
    SearchRequest okapi, gnu;
    okapi.query = "okapi";
    gnu.query = "gnu";
    m_docs.Write("projects/zebra.txt", "Zebra okapi");
    store->Scan();
    store->CatchUp();
    wordsGone();
    EXPECT_EQ(store->Search(okapi).found, 1);
    EXPECT_EQ(store->Search(budget).found, all);
    std::filesystem::remove(m_docs.File("projects/zebra.txt"));
    store->Scan();
    store->CatchUp();
    EXPECT_EQ(store->Search(SearchRequest{}).found, documents);
    m_docs.Write("projects/zebra.txt", "Zebra gnu");
    store->Scan();
    store->CatchUp();
    wordsGone();
    EXPECT_EQ(store->Search(gnu).found, 1);
    EXPECT_EQ(store->Search(okapi).found, 0);

    // A removal dropped (an hour old) before the copy took it: the copy is made again.
    std::filesystem::remove(m_docs.File("projects/zebra.txt"));
    store->Scan();
    PQclear(PQexec(admin, "UPDATE zdx_gone SET at = now() - interval '2 hours'"));
    m_docs.Write("projects/yak.txt", "Yak");
    store->Scan();
    PGresult* kept = PQexec(admin, "SELECT count(*) FROM zdx_gone");
    EXPECT_STREQ(PQgetvalue(kept, 0, 0), "0");
    PQclear(kept);
    store->CatchUp();
    wordsGone();
    EXPECT_EQ(store->Search(gnu).found, 0);

    // Another database (fewer changes than the copy took), indexed by another node: the copy
    // is made again from it.
    PQclear(PQexec(admin, "DROP TABLE zdx_docs, zdx_gone; DROP SEQUENCE zdx_changes; SELECT "
                          "pg_terminate_backend(pid) FROM pg_locks WHERE locktype = 'advisory'"));
    std::filesystem::remove(m_docs.File("projects/zebra.txt"));
    PgStore other(m_db, folders);
    for (int i = 0; i < 100 && !other.Indexes(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        other.Scan();
    }
    ASSERT_TRUE(other.Indexes());
    wordsGone();
    store->CatchUp();
    EXPECT_EQ(store->Search(budget).found, all);
    EXPECT_EQ(store->Search(gnu).found, 0);

    // A node that follows takes a change as the database announces it (its own check of the
    // last change an hour away), and answers from its copy, not asking, until the next.
    PgStore follower(m_db, folders);
    follower.KeepCopy(m_docs.File("cache"), 0, true, std::chrono::hours(1));
    follower.CatchUp();
    SearchRequest quokka;
    quokka.query = "quokka";
    EXPECT_EQ(follower.Search(quokka).found, 0);
    m_docs.Write("projects/quokka.txt", "Quokka");
    other.Scan();
    std::int64_t found = 0;
    for (int i = 0; i < 100 && found == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        found = follower.Search(quokka).found;
    }
    EXPECT_EQ(found, 1);
    wordsGone();
    EXPECT_EQ(follower.Search(quokka).found, 1);
    PQfinish(admin);
}

// The indexing role lives with its lock's connection: when that goes (a restart of PostgreSQL),
// another node takes the role, and the node that had it does not go on indexing too.
TEST_F(EndToEnd, TheIndexingRoleMovesWhenItsConnectionGoes) {
    if (!std::getenv("ZDX_TEST_STORE"))
        GTEST_SKIP() << "PostgreSQL only";
    const std::vector<IndexedFolder> folders = {{"handbook", m_docs.File("handbook")}};
    PgStore first(m_db, folders), second(m_db, folders);
    first.Scan();
    second.Scan();
    ASSERT_TRUE(first.Indexes());
    ASSERT_FALSE(second.Indexes());
    PGconn* admin = PQconnectdb(m_db.c_str());
    PQclear(PQexec(admin, "SELECT pg_terminate_backend(pid) FROM pg_locks "
                          "WHERE locktype = 'advisory' AND pid <> pg_backend_pid()"));
    // The backend ends a moment after it is told to; its lock goes with it.
    for (int i = 0; i < 100; ++i) {
        PGresult* held = PQexec(admin, "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'");
        const bool gone = std::string(PQgetvalue(held, 0, 0)) == "0";
        PQclear(held);
        if (gone)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    second.Scan();
    first.Scan();
    EXPECT_TRUE(second.Indexes());
    EXPECT_FALSE(first.Indexes());

    // A search waiting in the database (for a lock here) is cancelled there when the service
    // is asked to stop, long before its time limit.
    PQclear(PQexec(admin, "BEGIN; LOCK TABLE zdx_docs IN ACCESS EXCLUSIVE MODE"));
    std::atomic<bool> stopping{false};
    SetScanStopFlag(&stopping);
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stopping = true;
    });
    SearchRequest request;
    request.query = "walrus";
    const auto start = std::chrono::steady_clock::now();
    try {
        first.Search(request);
        ADD_FAILURE() << "a search went on while the service stopped";
    } catch (const SearchTooCostly&) {
        ADD_FAILURE() << "a stop taken for a costly search";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("stopping"), std::string::npos) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    stop.join();
    SetScanStopFlag(nullptr);
    PQclear(PQexec(admin, "ROLLBACK"));
    PQfinish(admin);
}

// SIGTERM during the first scan of a large folder ends the service at once, without listening;
// on PostgreSQL, SIGTERM while a search waits in the database (for a lock) ends it at once too.
TEST_F(EndToEnd, StopsDuringAScanOrASearch) {
    if (std::getenv("ZDX_TEST_STORE")) {
        Start();
        PGconn* admin = PQconnectdb(m_db.c_str());
        PQclear(PQexec(admin, "BEGIN; LOCK TABLE zdx_docs IN ACCESS EXCLUSIVE MODE"));
        std::thread search([this] {
            httplib::Client client("127.0.0.1", m_port);
            client.Get("/lvsearch/SearchServlet?query0=budget");
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(m_server->Stop(SIGTERM), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        search.join();
        PQclear(PQexec(admin, "ROLLBACK"));
        PQfinish(admin);
        return;
    }
    BackgroundProcess server(ZDX_SERVER_BIN,
                             {"--listen", "127.0.0.1:0", "--index", "share=/usr/share", "--db",
                              m_docs.File("big.sqlite")});
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    EXPECT_EQ(server.DiedOf(), 0);
    EXPECT_EQ(server.Out().find("listening"), std::string::npos);
}

TEST_F(EndToEnd, SignInAndOut) {
    Start();
    ProcessResult r =
        Query({"--user", "ann", "--password-stdin", "--logout", "budget"}, "", "pa55 word\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Signed in: ann"), std::string::npos) << r.err;
    EXPECT_EQ(Column(r.out, 0).size(), 3u);

    r = Query({"--user", "ann", "--password-stdin", "budget"}, "", "wrong\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Login failed!"), std::string::npos) << r.err;
}

TEST_F(EndToEnd, SearchesOverHttpsAndLinksAsUrls) {
    const CertFiles cert = MakeSelfSignedCert(m_docs.Path().string(), "server", "IP:127.0.0.1");
    Start({"--tls-cert", cert.certPath, "--tls-key", cert.keyPath, "--links", "url"});
    ProcessResult r = Query({"budget"}, "Secure=1\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Status Code 12045 was returned."), std::string::npos) << r.err;

    r = Query({"--filename", "b\xC3\xBC*"}, "Secure=1\nIgnoreUnknownCa=1\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto links = Column(r.out, 2);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0], "https://127.0.0.1:" + std::to_string(m_port) +
                            "/zdx-files/handbook/b%C3%BCroordnung.txt");
}

TEST_F(EndToEnd, FilesServedOnlyFromTheIndexedFolders) {
    TempDir outside;
    outside.Write("secret.txt", "not for you");
    std::filesystem::create_symlink(outside.File("secret.txt"), m_docs.File("handbook/escape.txt"));
    // A folder whose name starts like the indexed one's is outside it all the same.
    m_docs.Write("handbook-x/secret.txt", "not for you either");
    std::filesystem::create_symlink("../handbook-x/secret.txt", m_docs.File("handbook/s.txt"));
    std::filesystem::copy(ZDX_DOCUMENTS_DIR "/paper.pdf", m_docs.File("projects/paper.pdf"));
    Start({"--links", "url"});
    httplib::Client client("127.0.0.1", m_port);
    // The text the index holds, with the query's words as the text has them; in parts.
    auto text = client.Get("/zdx-text/handbook/budget-rules.txt?query0=managing+budgets");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->status, 200);
    EXPECT_EQ(text->get_header_value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_NE(text->body.find("Each team manages its budget."), std::string::npos);
    EXPECT_EQ(text->get_header_value("X-Zdx-Matches"), "Budget manages budget");
    auto tail = client.Get("/zdx-text/handbook/budget-rules.txt?offset=6&length=6");
    ASSERT_TRUE(tail);
    EXPECT_EQ(tail->body, text->body.substr(6, 6));
    EXPECT_EQ(tail->get_header_value("X-Zdx-Text-Length"), std::to_string(text->body.size()));
    auto pdf = client.Get("/zdx-text/projects/paper.pdf");
    ASSERT_TRUE(pdf);
    EXPECT_EQ(std::count(pdf->body.begin(), pdf->body.end(), '\f'), 2) << pdf->body;
    auto ok = client.Get("/zdx-files/handbook/budget-rules.txt");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_NE(ok->body.find("Each team manages its budget."), std::string::npos);
    // Overlapping ranges come once; a range past the end is refused.
    auto part =
        client.Get("/zdx-files/handbook/budget-rules.txt", {{"Range", "bytes=0-5,0-5,2-5"}});
    ASSERT_TRUE(part);
    EXPECT_EQ(part->status, 206);
    EXPECT_EQ(part->body, "Budget");
    auto past = client.Get("/zdx-files/handbook/budget-rules.txt", {{"Range", "bytes=1000-"}});
    ASSERT_TRUE(past);
    EXPECT_EQ(past->status, 416);
    EXPECT_EQ(past->get_header_value("Content-Range"),
              "bytes */" + std::to_string(ok->body.size()));
    for (const char* path :
         {"/zdx-files/handbook/../projects/old-plan.txt",
          "/zdx-files/handbook/%2E%2E/%2E%2E/etc/passwd", "/zdx-files/handbook/escape.txt",
          "/zdx-files/handbook/s.txt", "/zdx-files/handbook/../handbook-x/secret.txt",
          "/zdx-files/nowhere/x.txt", "/zdx-files/handbook/", "/zdx-files/handbook/missing.txt"}) {
        auto res = client.Get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 404) << path;
        // The text route answers the same.
        const std::string textPath = "/zdx-text/" + std::string(path).substr(11);
        EXPECT_EQ(client.Get(textPath)->status, 404) << textPath;
    }
    // A refused request's connection is closed at once, not kept for a next request.
    for (const std::string& head :
         {"GET /lvsearch/SearchServlet?query0=" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n",
          std::string("BROKEN\r\n\r\n")}) {
        const int fd = ConnectToLoopback(m_port);
        ASSERT_GE(fd, 0);
        (void)send(fd, head.data(), head.size(), MSG_NOSIGNAL); // may be cut short by the 414
        const std::string answer = AnswerBeforeClose(fd);
        // Closed by the service, not timed out: a line too long is answered 414 first.
        EXPECT_EQ(answer.substr(0, 12), head.size() > 1000 ? "HTTP/1.1 414" : "")
            << answer.substr(0, 40);
        close(fd);
    }
    // An oversized request is refused, and the service goes on. (It closes the connection
    // before this client has sent it all, and this client's sends do not ask for EPIPE.)
    std::signal(SIGPIPE, SIG_IGN);
    auto huge = client.Get("/lvsearch/SearchServlet?query0=" + std::string(1 << 20, 'a'));
    EXPECT_TRUE(!huge || huge->status >= 400);
    auto after = client.Get("/lvsearch/SearchServlet?query0=budget");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->body.substr(0, 4), "0|4|"); // the paper mentions a budget too
}

TEST_F(EndToEnd, SignInRequiredWithAUsersFile) {
    m_docs.Write("handbook/.hidden.txt", "budget hidden");
    Start({"--links", "url", "--no-watch"}, true); // what a scan has not seen stays unknown
    httplib::Client client("127.0.0.1", m_port);
    // Without a session nothing tells which indexes exist, and the refusal says how to sign in.
    for (const char* target :
         {"/lvsearch/SearchServlet?query0=budget", "/lvsearch/SearchServlet?query0=x&index=nope;",
          "/lvsearch/SearchServlet?query0=x&index=handbook;"}) {
        auto anonymous = client.Get(target);
        ASSERT_TRUE(anonymous);
        EXPECT_EQ(anonymous->body, "0|0|0||\n-3|Please sign in first.\n") << target;
    }
    auto refused = client.Get("/zdx-files/handbook/budget-rules.txt");
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(client.Get("/zdx-text/handbook/budget-rules.txt")->status, 401);
    EXPECT_NE(refused->get_header_value("WWW-Authenticate"), "");

    auto signIn = client.Get("/lvsearch/SearchServlet?userid=ann&password=pa55%20word");
    ASSERT_TRUE(signIn);
    const std::string cookie = signIn->get_header_value("Set-Cookie");
    EXPECT_TRUE(std::regex_match(cookie, std::regex("zdxsid=[0-9a-f]{32}; Path=/; HttpOnly; "
                                                    "SameSite=Strict")))
        << cookie;
    const httplib::Headers session = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
    // Links name the service's own address, whatever Host the request claims.
    httplib::Headers lying = session;
    lying.emplace("Host", "attacker.example:1");
    auto search = client.Get("/lvsearch/SearchServlet?query0=budget", lying);
    EXPECT_EQ(search->body.substr(0, 10), "0|3|1||ann");
    EXPECT_EQ(search->body.find("attacker"), std::string::npos) << search->body;
    EXPECT_NE(search->body.find("http://127.0.0.1:" + std::to_string(m_port) + "/zdx-files/"),
              std::string::npos);
    EXPECT_EQ(client.Get("/zdx-files/handbook/budget-rules.txt", session)->status, 200);
    // Only what the index holds, by the path it holds it under.
    m_docs.Write("handbook/after-the-scan.txt", "new");
    std::filesystem::create_directory(m_docs.File("handbook/inner"));
    std::filesystem::create_symlink(m_docs.File("handbook/budget-rules.txt"),
                                    m_docs.File("handbook/inner-link.txt"));
    for (const char* path :
         {"/zdx-files/handbook/budget-rules.txt%00.pdf", "/zdx-files/handbook/.hidden.txt",
          "/zdx-files/handbook/inner-link.txt", "/zdx-files/handbook/after-the-scan.txt",
          "/zdx-files/handbook/inner/../budget-rules.txt%0a"})
        EXPECT_EQ(client.Get(path, session)->status, 404) << path;
    // The client shows the service's request to sign in.
    ProcessResult r = Query({"budget"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("Please sign in first."), std::string::npos) << r.err;
    r = Query({"--user", "ann", "--password-stdin", "budget"}, "", "pa55 word\n");
    EXPECT_EQ(Column(r.out, 0).size(), 3u) << r.err;
}

TEST_F(EndToEnd, FailedSignInsBackOffWithoutHoldingWorkers) {
    Start();
    httplib::Client client("127.0.0.1", m_port);
    for (int i = 0; i < 3; ++i) // README: three free failures
        EXPECT_EQ(client.Get("/lvsearch/SearchServlet?userid=ann&password=wrong")->body,
                  "-1|0|0||\n");
    // Backed off: even the right password is refused from this address, at once, and the
    // answer says how long to wait.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Get("/lvsearch/SearchServlet?userid=ann&password=pa55%20word")->body,
              "-3|Too many failed sign-ins. Please wait 1 seconds and try again.\n-1|0|0||\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_NE(m_server->Err().find("sign-in from 127.0.0.1 backed off for 1 s"), std::string::npos)
        << m_server->Err();
}

// Slow, idle and oversized clients cost the service neither workers nor memory.
TEST_F(EndToEnd, SlowConnectionsLeaveSearchesAnswered) {
    Start({"--request-seconds", "2", "--connections-per-address", "410"});
    // 200 connections that send a request a byte at a time, 200 that send nothing.
    std::vector<int> trickling, idle;
    for (int i = 0; i < 200; ++i) {
        trickling.push_back(ConnectToLoopback(m_port));
        idle.push_back(ConnectToLoopback(m_port));
        ASSERT_GE(std::min(trickling.back(), idle.back()), 0);
    }
    const std::string line = "GET /lvsearch/SearchServlet?query0=budget HTTP/1.1";
    httplib::Client client("127.0.0.1", m_port);
    for (std::size_t at = 0; at < 3; ++at) {
        for (int fd : trickling)
            ASSERT_EQ(send(fd, &line[at], 1, MSG_NOSIGNAL), 1);
        const auto start = std::chrono::steady_clock::now();
        auto res = client.Get("/lvsearch/SearchServlet?query0=budget");
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        ASSERT_TRUE(res);
        EXPECT_EQ(res->body.substr(0, 4), "0|3|");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    // Past the cap on connections from one address, a connection is closed at once.
    std::vector<int> more;
    for (int i = 0; i < 12; ++i)
        more.push_back(ConnectToLoopback(m_port));
    EXPECT_NE(AnswerBeforeClose(more.back()), "open");
    // A request that has not all come within its time loses its connection.
    EXPECT_NE(AnswerBeforeClose(trickling[0], 3), "open");
    for (const auto& sockets : {trickling, idle, more})
        for (int fd : sockets)
            close(fd);
    // The service counts those connections until it has seen them close: a new one is served
    // again once it has (a busy machine may take a moment).
    for (int i = 0; i < 100; ++i) {
        httplib::Client fresh("127.0.0.1", m_port);
        if (fresh.Get("/lvsearch/SearchServlet?query0=budget"))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Headers over the limit (a flood of tiny ones) and bodies are refused unread, and the
    // connection is closed: the service's memory stays as it was.
    const long before = ResidentKiB(m_server->Pid());
    std::string flood = "GET /lvsearch/SearchServlet HTTP/1.1\r\n";
    while (flood.size() < (64u << 10))
        flood += "a:b\r\n";
    for (int i = 0; i < 20; ++i) {
        const int fd = ConnectToLoopback(m_port);
        timeval wait{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
        (void)send(fd, flood.data(), flood.size(), MSG_NOSIGNAL); // cut short by the refusal
        EXPECT_EQ(AnswerBeforeClose(fd).substr(0, 12), "HTTP/1.1 431");
        close(fd);
    }
    for (const char* method : {"POST", "DELETE"}) {
        const int fd = ConnectToLoopback(m_port);
        const std::string head = std::string(method) +
                                 " /lvsearch/SearchServlet HTTP/1.1\r\nContent-Length: "
                                 "209715200\r\n\r\n" +
                                 std::string(65536, 'x');
        (void)send(fd, head.data(), head.size(), MSG_NOSIGNAL);
        EXPECT_EQ(AnswerBeforeClose(fd).substr(0, 12), "HTTP/1.1 413") << method;
        close(fd);
    }
    EXPECT_LT(ResidentKiB(m_server->Pid()) - before, 8 * 1024);
}

// Access can be taken away while the service runs, and behind a trusted proxy each client's
// failures are its own.
TEST_F(EndToEnd, AccessCanBeTakenAwayAndProxiedClientsAreToldApart) {
    Start({"--trusted-proxy", "127.0.0.1"}, true);
    httplib::Client client("127.0.0.1", m_port);
    const std::string servlet = "/lvsearch/SearchServlet?";
    auto from = [](const char* address) { return httplib::Headers{{"X-Forwarded-For", address}}; };
    for (int i = 0; i < 3; ++i) // one client's three failures ...
        client.Get(servlet + "userid=ann&password=wrong", from("10.1.1.1"));
    EXPECT_NE(client.Get(servlet + "userid=ann&password=wrong", from("10.1.1.1"))
                  ->body.find("Too many failed sign-ins."),
              std::string::npos); // (backed off)
    // ... do not refuse another behind the same proxy.
    auto signIn = client.Get(servlet + "userid=ann&password=pa55%20word", from("10.2.2.2"));
    ASSERT_TRUE(signIn);
    EXPECT_EQ(signIn->body, "-1|0|1||ann\n");
    const std::string cookie = signIn->get_header_value("Set-Cookie");
    const httplib::Headers session = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
    EXPECT_EQ(client.Get(servlet + "query0=budget", session)->body.substr(0, 10), "0|3|1||ann");

    // A new password ends the session within two seconds, and only the new one signs in.
    const ProcessResult changed =
        RunProcess(ZDX_SERVER_BIN, {"--users", m_docs.File("users"), "--add-user", "ann"},
                   {m_docs.Path().string(), {}, "new words\n"});
    ASSERT_EQ(changed.exitCode, 0) << changed.err;
    std::string body;
    for (int waited = 0; waited < 2000; waited += 100) {
        body = client.Get(servlet + "query0=budget", session)->body;
        if (body.find("Please sign in first.") != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(body, "0|0|0||\n-3|Please sign in first.\n");
    EXPECT_EQ(client.Get(servlet + "userid=ann&password=new%20words", from("10.3.3.3"))->body,
              "-1|0|1||ann\n");
    EXPECT_EQ(client.Get(servlet + "userid=ann&password=pa55%20word", from("10.4.4.4"))->body,
              "-1|0|0||\n");
}

// A check cut short (its node died between letting the attempt through and counting it) does
// not lock the address out for good, in either store.
TEST_F(EndToEnd, AnInterruptedCheckLapses) {
    ServerOptions options;
    options.db = m_db;
    options.folders = {{"handbook", m_docs.File("handbook")}};
    Backend backend = OpenBackend(options);
    SignInCounters& counters = *backend.counters;
    const auto t0 = SignInCounters::Clock::now();
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(counters.Allowed("10.5.0.1", "ann", t0)); // never answered
    EXPECT_FALSE(counters.Allowed("10.5.0.1", "ann", t0));
    if (IsPostgresUrl(m_db)) { // PostgreSQL keeps the time on the database's side
        PGconn* db = PQconnectdb(m_db.c_str());
        PQclear(PQexec(db, "UPDATE zdx_signin SET check_start_ms = check_start_ms - 31000"));
        PQfinish(db);
    }
    EXPECT_TRUE(counters.Allowed("10.5.0.1", "ann", t0 + std::chrono::seconds(31)));
}

TEST_F(EndToEnd, UsersFileStaysPrivateAndWhole) {
    const std::string users = m_docs.File("users");
    struct stat info {};
    // An older file readable by all loses that; its owner, group and group access stay (a
    // service running under the group reads it on).
    chmod(users.c_str(), 0644);
    ASSERT_EQ(chown(users.c_str(), getuid(), 65534), 0);
    auto add = [&](const std::string& name, const std::string& prefix = "") {
        return RunProcess(
            "/bin/sh",
            {"-c", prefix + "exec " ZDX_SERVER_BIN " --users " + users + " --add-user " + name},
            {m_docs.Path().string(), {}, "secret\n"});
    };
    // A link planted where the old program put its temporary file is never written through.
    m_docs.Write("victim", "untouched");
    std::filesystem::create_symlink(m_docs.File("victim"), users + ".new");
    ASSERT_EQ(add("bob").exitCode, 0);
    EXPECT_EQ(TempDir::Read(m_docs.File("victim")), "untouched");
    ASSERT_EQ(stat(users.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(info.st_gid, 65534u);
    const std::string before = TempDir::Read(users);
    EXPECT_NE(before.find("ann:"), std::string::npos);
    EXPECT_NE(before.find("bob:"), std::string::npos);
    // A write that fails (the file-size limit here, below the file's size) leaves the old file
    // as it was.
    std::string padded = before;
    for (int i = 0; i < 40; ++i)
        padded += "# a comment line that the file keeps, to make it larger than the limit\n";
    m_docs.Write("users", padded);
    chmod(users.c_str(), 0600);
    const std::string whole = TempDir::Read(users);
    const ProcessResult failed = add("carl", "trap '' XFSZ; ulimit -f 4; ");
    EXPECT_NE(failed.exitCode, 0);
    EXPECT_NE(failed.err.find("cannot write"), std::string::npos) << failed.err;
    EXPECT_EQ(TempDir::Read(users), whole);
    // ... and nothing beside it, also when the limit would have killed the process.
    const ProcessResult killed = add("dora", "ulimit -f 4; ");
    EXPECT_NE(killed.exitCode, 0);
    EXPECT_EQ(TempDir::Read(users), whole);
    for (const auto& entry : std::filesystem::directory_iterator(m_docs.Path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("users.", 0) != 0 || name == "users.new") << name; // planted above
    }
}

// The folders are followed: created, changed, renamed and deleted files, and a new folder's,
// are found or gone within 2 s, with no rescan due for ten minutes.
TEST_F(EndToEnd, TheIndexFollowsTheFolders) {
    Start();
    // The file names a query finds, once they are `names` or 2 s have passed.
    using Names = std::vector<std::string>;
    auto within2s = [&](const std::string& query, const Names& names) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        Names found;
        do {
            found = Column(Query({query}).out, 1);
        } while (found != names && std::chrono::steady_clock::now() < until);
        return found;
    };
    m_docs.Write("projects/fresh.txt", "A quokka appears.");
    EXPECT_EQ(within2s("quokka", {"fresh.txt"}), Names{"fresh.txt"});
    m_docs.Write("projects/fresh.txt", "A wallaby now.");
    EXPECT_EQ(within2s("wallaby", {"fresh.txt"}), Names{"fresh.txt"});
    EXPECT_EQ(within2s("quokka", {}), Names{});
    std::filesystem::rename(m_docs.File("projects/fresh.txt"), m_docs.File("projects/moved.txt"));
    EXPECT_EQ(within2s("wallaby", {"moved.txt"}), Names{"moved.txt"});
    std::filesystem::remove(m_docs.File("projects/moved.txt"));
    EXPECT_EQ(within2s("wallaby", {}), Names{});
    m_docs.Write("projects/later/deeper/note.txt", "A bilby below.");
    EXPECT_EQ(within2s("bilby", {"note.txt"}), Names{"note.txt"});
    m_docs.Write("projects/later/deeper/second.txt", "A potoroo too."); // the new folder is watched
    EXPECT_EQ(within2s("potoroo", {"second.txt"}), Names{"second.txt"});
    // A word far into a text: its passage is read past the text's opening.
    std::string filler;
    for (int i = 0; i < 300; ++i)
        filler += "filler text ";
    m_docs.Write("projects/later/long.txt", "Long\n\n" + filler + "a quoll here");
    EXPECT_EQ(within2s("quoll", {"long.txt"}), Names{"long.txt"});
    EXPECT_NE(Query({"--format", "json", "quoll"}).out.find("\"matches\":[\"quoll\"]"),
              std::string::npos);
    // A folder left out stays out.
    m_docs.Write("projects/node_modules/x.txt", "A dingo.");
    EXPECT_EQ(within2s("dingo", {"x.txt"}), Names{});
    EXPECT_NE(Query({"--status"}).out.find("\"kept\": \"watching\""), std::string::npos);
}

TEST_F(EndToEnd, SearchesWhileTheIndexChanges) {
    Start({"--rescan", "1"});
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; writing; ++i) {
            m_docs.Write("projects/new" + std::to_string(i % 50) + ".txt",
                         "New budget " + std::to_string(i));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&] {
            httplib::Client client("127.0.0.1", m_port);
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
            while (std::chrono::steady_clock::now() < until) {
                auto res = client.Get("/lvsearch/SearchServlet?query0=budget&index=projects");
                if (!res || res->status != 200 || res->body.rfind("0|", 0) != 0)
                    ++failures;
            }
        });
    for (auto& t : clients)
        t.join();
    writing = false;
    writer.join();
    EXPECT_EQ(failures.load(), 0);
    // The re-scan has taken the new files in.
    ProcessResult r = Query({"--index", "1", "--filename", "new*"});
    EXPECT_GT(Column(r.out, 1).size(), 10u) << r.err;
}

} // namespace
