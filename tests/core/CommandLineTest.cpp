#include "config/Application.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    std::vector<std::string> tokens;
    std::string iniFile;
    int logEnabled;
};

class CommandLine : public testing::TestWithParam<Case> {};

TEST_P(CommandLine, TakesTheOptions) {
    const Case& c = GetParam();
    Application app;
    ParseArguments(c.tokens, app);
    EXPECT_EQ(app.m_iniFile, c.iniFile);
    EXPECT_EQ(app.m_logEnabled, c.logEnabled);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, CommandLine,
    testing::Values(
        Case{"none", {}, "", 0}, Case{"log", {"-l"}, "", 1}, Case{"logWord", {"-log"}, "", 1},
        Case{"fileThenLog", {"-fz.ini", "-l"}, "z.ini", 1},
        Case{"quotedPathWithBlank", {"-f\"my dir/z.ini\""}, "my dir/z.ini", 0},
        Case{"quotesInsidePath", {"-f/a\"b\"c.ini"}, "/abc.ini", 0}, Case{"bareF", {"-f"}, "", 0},
        Case{"upperF", {"-F/x.ini"}, "", 0}, Case{"otherLetter", {"-x", "word"}, "", 0},
        Case{"twoFiles", {"-fa.ini", "-fb.ini"}, "b.ini", 0},
        Case{"fThenBlankThenPath", {"-f", "a.ini"}, "", 0},
        Case{"quoteBeforeDash", {"\"-fa.ini\""}, "", 0}, Case{"slashIsAPath", {"/l"}, "", 0},
        Case{"slashFile", {"/fx.ini"}, "", 0}, Case{"emptyTokens", {"", "", "-l"}, "", 1},
        Case{"onlyQuotes", {"-f\"\""}, "", 0}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(CommandLineLimits, OnlyTheFirstTenTokensCount) {
    std::vector<std::string> tokens(10, "word");
    tokens.push_back("-l");
    Application app;
    ParseArguments(tokens, app);
    EXPECT_EQ(app.m_logEnabled, 0);
    EXPECT_EQ(app.m_args[9], "word");

    tokens[9] = "-l";
    ParseArguments(tokens, app);
    EXPECT_EQ(app.m_logEnabled, 1);
}

TEST(CommandLineLimits, ArgsHoldTheTokens) {
    Application app;
    ParseArguments({"-fa b", "x"}, app);
    EXPECT_EQ(app.m_args[0], "-fa b");
    EXPECT_EQ(app.m_args[1], "x");
    EXPECT_EQ(app.m_args[2], "");
}

TEST(CommandLineLimits, SettingsFilePathOf255Characters) {
    const std::string longest(255, 'a');
    const std::string tooLong(256, 'a');
    std::string wide; // 255 two-byte characters: 510 bytes, still 255 characters
    for (int i = 0; i < 255; ++i)
        wide += "\xC3\xA4";

    Application app;
    ParseArguments({"-f" + longest}, app);
    EXPECT_EQ(app.m_iniFile, longest);

    Application app2;
    ParseArguments({"-f" + wide}, app2);
    EXPECT_EQ(app2.m_iniFile, wide);

    Application app3;
    ParseArguments({"-fkept.ini", "-f" + tooLong}, app3);
    EXPECT_EQ(app3.m_iniFile, "kept.ini");
    EXPECT_EQ(app3.m_rejectedIniFile, tooLong);
}

} // namespace
