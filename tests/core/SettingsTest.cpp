#include "config/Settings.h"
#include "config/Application.h"
#include "config/ProfileSource.h"
#include "config/SearchHistory.h"
#include "config/SettingsFile.h"
#include "diag/ActivityLog.h"

#include "TempDir.h"

#include <charconv>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

namespace {

// A profile store held in memory; the real one is tested against QSettings elsewhere.
class MemoryStore : public WritableProfileSource {
public:
    std::map<std::string, std::string> values;

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) override {
        auto it = values.find(section + "/" + key);
        return it == values.end() ? def : it->second;
    }
    int ReadInt(const std::string& section, const std::string& key, int def) override {
        auto it = values.find(section + "/" + key);
        if (it == values.end())
            return def;
        int v = 0;
        const auto& s = it->second;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        return ec == std::errc() && end == s.data() + s.size() ? v : def;
    }
    void WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override {
        values[section + "/" + key] = value;
    }
    void WriteInt(const std::string& section, const std::string& key, int value) override {
        values[section + "/" + key] = std::to_string(value);
    }
};

TEST(SearchHistory, NewestFirstDistinctCappedAndCleared) {
    MemoryStore store;
    SearchHistory history;
    for (int i = 0; i < 25; ++i)
        history.Add("query " + std::to_string(i));
    history.Add("query 20"); // again: moves to the front, once
    history.Add("   ");      // blank: not kept
    history.Save(store);
    SearchHistory again; // the next start
    again.Load(store);
    ASSERT_EQ(again.Queries().size(), SearchHistory::kSize);
    EXPECT_EQ(again.Queries()[0], "query 20");
    EXPECT_EQ(again.Queries()[1], "query 24");
    EXPECT_EQ(again.Queries().back(), "query 5");
    again.Clear();
    again.Save(store);
    SearchHistory cleared;
    cleared.Load(store);
    EXPECT_TRUE(cleared.Queries().empty());
    // A store edited by hand, with a query twice, loads it once.
    store.values = {{"History/Query0", "a"}, {"History/Query1", "a"}, {"History/Query2", "b"}};
    cleared.Load(store);
    EXPECT_EQ(cleared.Queries(), (std::vector<std::string>{"a", "b"}));
}

Settings Loaded(ProfileSource& source, bool fromFile) {
    return LoadSettings(source, fromFile, Logger());
}

// Catches a default that differs between the table and what users were told, and a key the
// loader or the report forgets: every key of the table, as --settings reports it, from an empty
// profile store and from an empty settings file.
TEST(Settings, EveryKeyHasItsDefaults) {
    const std::string profileBase =
        "lvsearch/SearchServlet?site=localhost&theme=zdx&template=PlainTemplate.html&numhits=999";
    const std::string fileBase =
        "lvsearch/SearchServlet?site=eastvale&template=PlainTemplate.html&numhits=999";
    std::map<std::string, std::pair<std::string, std::string>> expected = {
        {"Settings/Address", {"localhost", "localhost"}},
        {"Settings/Port", {"80", "80"}},
        {"Settings/Searchbase", {profileBase, fileBase}},
        {"Settings/Secure", {"0", "0"}},
        {"Settings/IgnoreCertCnInvalid", {"0", "0"}},
        {"Settings/IgnoreUnknownCa", {"0", "0"}},
        {"Settings/IgnoreRevocation", {"0", "0"}},
        {"Settings/Charset", {"windows-1252", "windows-1252"}},
        {"List/Columns", {"8", "8"}},
        {"urlColumn", {"6", "6"}},
    };
    for (int i = 0; i < 10; ++i) {
        expected["Indexes/Index" + std::to_string(i)] = {"", ""};
        expected["Indexes/IndexName" + std::to_string(i)] = {"", ""};
    }
    const char* headings[] = {"Title", "Rel %",  "Filename", "Description",
                              "Date",  "Format", "Link",     "Author"};
    const char* widths[] = {"200", "40", "130", "200", "100", "70", "200", "100"};
    for (int i = 0; i < 8; ++i) {
        const std::string n = std::to_string(i);
        expected["List/Column" + n] = {n, n};
        expected["List/HeadingWidth" + n] = {widths[i], "150"};
        expected["List/Heading" + n] = {headings[i], ""};
    }
    MemoryStore store;
    SettingsFile file = SettingsFile::FromBytes("");
    for (const bool fromFile : {false, true}) {
        std::map<std::string, std::string> reported;
        std::istringstream lines(FormatSettingsReport(
            Loaded(fromFile ? static_cast<ProfileSource&>(file) : store, fromFile), ""));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("source=", 0) != 0)
                reported[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        EXPECT_EQ(reported.size(), expected.size());
        for (const auto& [key, values] : expected)
            EXPECT_EQ(reported[key], fromFile ? values.second : values.first)
                << key << (fromFile ? " (settings file)" : " (profile store)");
    }
    // The table names no key the report leaves out.
    for (const SettingKey& key : SettingKeys())
        EXPECT_TRUE(expected.count(std::string(key.section) + "/" + KeyName(key, 0))) << key.name;
}

TEST(Settings, ColumnLayoutAndUrlColumn) {
    struct Case {
        std::map<std::string, std::string> values;
        int columns;
        std::vector<int> fields; // FieldOfColumn of each display column
        int urlColumn;
    } cases[] = {
        {{{"List/Columns", "3"},
          {"List/Column0", "6"},
          {"List/Column1", "0"},
          {"List/Column2", "6"}},
         3,
         {6, 0, 6},
         2},
        {{{"List/Columns", "2"}}, 2, {0, 1}, 0}, // no column shows the link
        {{{"List/Columns", "0"}}, 0, {}, 0},     // no columns at all
        {{{"List/Columns", "-4"}}, 0, {}, 0},    // clamped
        {{{"List/Columns", "11"}}, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 6}, // clamped to ten
        {{{"List/Columns", "2"}, {"List/Column0", "42"}, {"List/Column1", "-6"}},
         2,
         {-1, -1},
         0}, // fields outside 0..9 show nothing and never count as the link
        {{{"List/Columns", "1"}, {"List/Column0", "9"}}, 1, {9}, 0},
    };
    for (const auto& c : cases) {
        MemoryStore store;
        store.values = c.values;
        const Settings app = Loaded(store, false);
        ASSERT_EQ(app.columns, c.columns);
        for (int i = 0; i < c.columns; ++i)
            EXPECT_EQ(app.FieldOfColumn(i), c.fields[i]) << "column " << i;
        EXPECT_EQ(app.linkColumn, c.urlColumn);
    }
}

TEST(Settings, StoredValuesWin) {
    MemoryStore store;
    store.values = {{"Settings/Address", "search.example"},
                    {"Settings/Port", "8080"},
                    {"Settings/Secure", "1"},
                    {"Indexes/Index4", "arch"},
                    {"Indexes/IndexName4", "Archive"},
                    {"List/Heading1", "Score"},
                    {"List/HeadingWidth1", "77"},
                    {"Settings/IgnoreUnknownCa", "x"}};
    const Settings app = Loaded(store, false);
    EXPECT_EQ(app.connection.address, "search.example");
    EXPECT_EQ(app.connection.port, 8080);
    EXPECT_EQ(app.connection.secure, 1);
    EXPECT_EQ(app.connection.ignoreUnknownCa, 0);
    EXPECT_EQ(app.index[4], "arch");
    EXPECT_EQ(app.indexName[4], "Archive");
    EXPECT_EQ(app.heading[1], "Score");
    EXPECT_EQ(app.headingWidth[1], 77);
    EXPECT_EQ(app.heading[0], "Title");
}

TEST(SettingsFileReader, ReadingRules) {
    const std::string text = "; a comment line\n"
                             "[settings]\n"
                             "  ADDRESS  =  first.example  \n"
                             "Address=second.example\n"
                             "Searchbase=\"  quoted  \"\n"
                             "Port=8080abc\n"
                             "Secure=yes\n"
                             "IgnoreCertCnInvalid=-1\n"
                             "IgnoreUnknownCa=4294967297\n"
                             "IgnoreRevocation=\n"
                             "Signed=+7\n"
                             "QuotedNumber=\" 2\"\n"
                             "TabbedNumber=\"\t1\t\"\n"
                             "Width=-5\n"
                             "Heading0=\"\"\n"
                             "[Indexes]\r\n"
                             "Index0='single'\r\n"
                             "Index1=\"unbalanced\r\n"
                             "Index2=a=b\r\n"
                             "Index3\r\n"
                             "[Settings]\n"
                             "Port=1\n";
    SettingsFile file = SettingsFile::FromBytes(text);
    EXPECT_EQ(file.ReadString("Settings", "Address", "d"), "first.example");
    EXPECT_EQ(file.ReadString("Settings", "Searchbase", "d"), "  quoted  ");
    EXPECT_EQ(file.ReadInt("Settings", "Port", 7), 8080);
    EXPECT_EQ(file.ReadInt("Settings", "Secure", 7), 0);
    EXPECT_EQ(file.ReadInt("Settings", "IgnoreCertCnInvalid", 7), -1);
    EXPECT_EQ(file.ReadInt("Settings", "Signed", 0), 7);
    EXPECT_EQ(file.ReadInt("Settings", "QuotedNumber", 0), 2);
    EXPECT_EQ(file.ReadInt("Settings", "TabbedNumber", 0), 1);
    EXPECT_EQ(file.ReadInt("Settings", "Width", 0), -5);
    EXPECT_EQ(file.ReadString("Settings", "Heading0", "d"), "");  // quotes around nothing
    EXPECT_EQ(file.ReadInt("Settings", "IgnoreUnknownCa", 7), 1); // wraps at 32 bits
    EXPECT_EQ(file.ReadInt("Settings", "IgnoreRevocation", 7), 7);
    EXPECT_EQ(file.ReadString("Settings", "IgnoreRevocation", "d"), "");
    EXPECT_EQ(file.ReadString("Settings", "Missing", "d"), "d");
    EXPECT_EQ(file.ReadString("Indexes", "Index0", "d"), "single");
    EXPECT_EQ(file.ReadString("Indexes", "Index1", "d"), "\"unbalanced");
    EXPECT_EQ(file.ReadString("Indexes", "Index2", "d"), "a=b");
    EXPECT_EQ(file.ReadString("Indexes", "Index3", "d"), "");
    EXPECT_EQ(file.ReadString("Nowhere", "Index0", "d"), "d");
}

TEST(SettingsFileReader, NulEndsAValue) {
    SettingsFile file =
        SettingsFile::FromBytes(std::string("[S]\nA= ab\0cd \nB=\"12\0\"\nC=3\n", 26));
    EXPECT_EQ(file.ReadString("S", "A", "-"), "ab");
    EXPECT_EQ(file.ReadString("S", "B", "-"), "\"12");
    EXPECT_EQ(file.ReadInt("S", "B", 0), 0);
    EXPECT_EQ(file.ReadInt("S", "C", 0), 3);
}

TEST(SettingsFileReader, ValuesAreCutTo255Characters) {
    std::string wide;
    for (int i = 0; i < 300; ++i)
        wide += "\xC3\xA4";
    SettingsFile file =
        SettingsFile::FromBytes("[S]\nA=" + std::string(1 << 20, 'x') + "\nB=" + wide + "\n");
    EXPECT_EQ(file.ReadString("S", "A", ""), std::string(255, 'x'));
    EXPECT_EQ(file.ReadString("S", "B", ""), wide.substr(0, 510));
}

TEST(SettingsFileReader, Encodings) {
    struct Case {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"utf8", "[S]\nA=M\xC3\xBCller\n"},
        {"utf8Bom", "\xEF\xBB\xBF[S]\nA=M\xC3\xBCller\n"},
        {"windows1252", "[S]\nA=M\xFCller\n"},
        {"utf16le", std::string("\xFF\xFE[\0S\0]\0\n\0A\0=\0M\0\xFC\0l\0l\0e\0r\0", 26)},
        {"utf16be", std::string("\xFE\xFF\0[\0S\0]\0\n\0A\0=\0M\0\xFC\0l\0l\0e\0r", 26)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SettingsFile::FromBytes(c.bytes).ReadString("S", "A", "-"), "M\xC3\xBCller")
            << c.name;
}

TEST(SettingsFileReader, JunkGivesDefaults) {
    std::string junk;
    unsigned seed = 12345;
    for (int i = 0; i < 200000; ++i) {
        seed = seed * 1103515245u + 12345u;
        junk += static_cast<char>(seed >> 16);
    }
    const std::string inputs[] = {"", std::string(1000, '\0'), junk, "[[[[\n]]]]=\n=\n[",
                                  std::string(3, '\xFF')};
    for (const auto& bytes : inputs) {
        SettingsFile file = SettingsFile::FromBytes(bytes);
        const Settings app = Loaded(file, true);
        EXPECT_EQ(app.connection.port, 80);
        EXPECT_EQ(app.columns, 8);
        EXPECT_EQ(app.linkColumn, 6);
    }
}

TEST(SettingsFileReader, WholeFileThroughTheLoader) {
    TempDir dir;
    const std::string path = dir.Write("z.ini", "[Settings]\nAddress=files.example\nPort=99999\n"
                                                "[List]\nColumns=3\nColumn0=6\nColumn1=0\n"
                                                "Column2=6\nHeading0=Where\nHeadingWidth1=-9\n");
    SettingsFile file(path);
    const Settings app = Loaded(file, true);
    EXPECT_EQ(app.connection.address, "files.example");
    EXPECT_EQ(app.connection.port, 99999);
    EXPECT_EQ(app.columns, 3);
    EXPECT_EQ(app.linkColumn, 2);
    EXPECT_EQ(app.heading[0], "Where");
    EXPECT_EQ(app.heading[1], "");
    EXPECT_EQ(app.headingWidth[1], 0); // negative widths show as 0
    EXPECT_EQ(app.headingWidth[2], 150);
}

} // namespace
