// The two programs started as a user starts them, with a temporary profile store and current
// folder.
#include "../support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {

class Startup : public testing::Test {
protected:
    ProcessOptions Options() const {
        return {m_cwd.Path().string(),
                {{"HOME", m_home.Path().string()},
                 {"XDG_CONFIG_HOME", m_home.File(".config")},
                 {"QT_QPA_PLATFORM", "offscreen"}}};
    }
    void WriteProfile(const std::string& text) const {
        m_home.Write(".config/Norvane/ZDX.conf", text);
    }
    std::string LogPath() const { return m_cwd.File("zdx.log"); }

    TempDir m_home;
    TempDir m_cwd;
};

TEST_F(Startup, LogOfAFirstRunWithAnEmptyProfileStore) {
    const bool written = RunUntil(ZDX_BIN, {"-l"}, Options(),
                                  [&] { return Lines(TempDir::Read(LogPath())).size() >= 11; });
    ASSERT_TRUE(written) << TempDir::Read(LogPath());
    const auto lines = Lines(TempDir::Read(LogPath()));
    ASSERT_EQ(lines.size(), 11u);
    const std::regex stamp(R"(\d{4}\.\d\d\.\d\d \d\d:\d\d )");
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        ASSERT_TRUE(std::regex_search(line, stamp, std::regex_constants::match_continuous)) << line;
        texts.push_back(line.substr(17));
    }
    EXPECT_TRUE(std::regex_match(
        texts[0],
        std::regex(R"( 1, 1, 0, 10 [A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d InitInstance\(\))")))
        << texts[0];
    EXPECT_EQ(texts[1], "Settings read from the registry ");
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(texts[2 + i], "Column " + std::to_string(i) + " = " + std::to_string(i) + " ");
    EXPECT_EQ(texts[10], "theApp.m_urlColumn = 6 ");
}

TEST_F(Startup, NoLogWithoutTheOption) {
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"--settings"}, Options());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(Startup, LogNamesTheSettingsFile) {
    const std::string ini = m_cwd.Write("z.ini", "[List]\nColumns=1\nColumn0=6\n");
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"-f" + ini, "-l", "--settings"}, Options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(TempDir::Read(LogPath()));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(17), "Settings read from " + ini);
    EXPECT_EQ(lines[2].substr(17), "Column 0 = 6 ");
    EXPECT_EQ(lines[3].substr(17), "theApp.m_urlColumn = 0 ");
}

TEST_F(Startup, ALogThatCannotBeWrittenIsReportedOnce) {
    std::filesystem::create_symlink("/dev/full", LogPath());
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"-l", "--settings"}, Options());
    EXPECT_EQ(r.exitCode, 0) << r.err; // the program runs on
    const std::string message = "zdx.log: cannot write the activity log: No space left on device";
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(message), r.err.rfind(message)); // once, for the several lines
}

TEST_F(Startup, TooLongSettingsFilePathIsNotedAndTheProfileStoreUsed) {
    const std::string path(300, 'p');
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"-l", "-f" + path, "--settings"}, Options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Lines(r.out).at(0), "source=registry");
    const auto lines = Lines(TempDir::Read(LogPath()));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[1].find(path), std::string::npos);
    EXPECT_EQ(lines[2].substr(17), "Settings read from the registry ");
}

std::string Report(const std::string& source, const std::string& address, int port,
                   const std::string& searchbase, const std::string& flags,
                   const std::vector<std::string>& indexes, const std::string& list,
                   int urlColumn) {
    std::string s = "source=" + source + "\nSettings/Address=" + address +
                    "\nSettings/Port=" + std::to_string(port) +
                    "\nSettings/Searchbase=" + searchbase + "\n" + flags;
    for (int i = 0; i < 20; ++i)
        s += std::string(i < 10 ? "Indexes/Index" : "Indexes/IndexName") + std::to_string(i % 10) +
             "=" + indexes[i] + "\n";
    return s + list + "urlColumn=" + std::to_string(urlColumn) + "\n";
}

const std::string kNoFlags = "Settings/Secure=0\nSettings/IgnoreCertCnInvalid=0\n"
                             "Settings/IgnoreUnknownCa=0\nSettings/IgnoreRevocation=0\n"
                             "Settings/Charset=windows-1252\n";

std::string DefaultList(bool fromFile) {
    const char* headings[] = {"Title", "Rel %",  "Filename", "Description",
                              "Date",  "Format", "Link",     "Author"};
    const int widths[] = {200, 40, 130, 200, 100, 70, 200, 100};
    std::string s = "List/Columns=8\n";
    for (int i = 0; i < 8; ++i) {
        const std::string n = std::to_string(i);
        s += "List/Column" + n + "=" + n + "\nList/HeadingWidth" + n + "=" +
             std::to_string(fromFile ? 150 : widths[i]) + "\nList/Heading" + n + "=" +
             (fromFile ? "" : headings[i]) + "\n";
    }
    return s;
}

TEST_F(Startup, SettingsOfAnEmptyProfileStore) {
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"--settings"}, Options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, Report("registry", "localhost", 80,
                            "lvsearch/SearchServlet?site=localhost&theme=zdx&template="
                            "PlainTemplate.html&numhits=999",
                            kNoFlags, std::vector<std::string>(20), DefaultList(false), 6));
}

TEST_F(Startup, SettingsOfAFilledProfileStore) {
    WriteProfile("[Settings]\nAddress=search.example\nPort=8080\nSecure=1\n"
                 "Searchbase=\"lvsearch/SearchServlet?site=x&numhits=5\"\n"
                 "[Indexes]\nIndex0=docs\nIndexName0=Documents \\xe4\nIndex4=arch\n"
                 "[List]\nColumns=3\nColumn0=6\nColumn1=0\nColumn2=6\nHeading1=Name\n"
                 "HeadingWidth2=junk\n");
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"--settings"}, Options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> indexes(20);
    indexes[0] = "docs";
    indexes[4] = "arch";
    indexes[10] = "Documents \xC3\xA4";
    EXPECT_EQ(r.out,
              Report("registry", "search.example", 8080, "lvsearch/SearchServlet?site=x&numhits=5",
                     "Settings/Secure=1\nSettings/IgnoreCertCnInvalid=0\n"
                     "Settings/IgnoreUnknownCa=0\nSettings/IgnoreRevocation=0\n"
                     "Settings/Charset=windows-1252\n",
                     indexes,
                     "List/Columns=3\nList/Column0=6\nList/HeadingWidth0=200\n"
                     "List/Heading0=Title\nList/Column1=0\nList/HeadingWidth1=40\n"
                     "List/Heading1=Name\nList/Column2=6\nList/HeadingWidth2=130\n"
                     "List/Heading2=Filename\n",
                     2));
}

TEST_F(Startup, SettingsOfASettingsFile) {
    // The profile store holds other values; the file wins entirely.
    WriteProfile("[Settings]\nAddress=profile.example\n");
    const std::string ini =
        m_cwd.Write("my settings.ini", "[SETTINGS]\r\naddress = files.example\r\nPort=81x\r\n"
                                       "IgnoreUnknownCa=1\r\nCharset=utf-8\r\n"
                                       "[Indexes]\r\nIndex1=M\xFCller\r\n"
                                       "[List]\r\nColumns=2\r\nColumn0=7\r\nColumn1=6\r\n"
                                       "Heading0=\"Who \"\r\n");
    const ProcessResult r =
        RunProcess(ZDX_QUERY_BIN, {"-f\"" + ini + "\"", "--settings"}, Options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> indexes(20);
    indexes[1] = "M\xC3\xBCller";
    EXPECT_EQ(r.out,
              Report(ini, "files.example", 81,
                     "lvsearch/SearchServlet?site=eastvale&template=PlainTemplate.html&numhits=999",
                     "Settings/Secure=0\nSettings/IgnoreCertCnInvalid=0\n"
                     "Settings/IgnoreUnknownCa=1\nSettings/IgnoreRevocation=0\n"
                     "Settings/Charset=utf-8\n",
                     indexes,
                     "List/Columns=2\nList/Column0=7\nList/HeadingWidth0=150\nList/Heading0=Who "
                     "\nList/Column1=6\nList/HeadingWidth1=150\nList/Heading1=\n",
                     1));
}

TEST_F(Startup, SettingsOfAMissingSettingsFile) {
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"-fnone.ini", "--settings"}, Options());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, Report("none.ini", "localhost", 80,
                            "lvsearch/SearchServlet?site=eastvale&template=PlainTemplate.html&"
                            "numhits=999",
                            kNoFlags, std::vector<std::string>(20), DefaultList(true), 6));
}

} // namespace
