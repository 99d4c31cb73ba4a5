#include "diag/ActivityLog.h"

#include "TempDir.h"

#include <gtest/gtest.h>

namespace {

std::tm At(int year, int month, int day, int hour, int minute) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = 59; // seconds are never written
    return t;
}

TEST(LogLine, Format) {
    struct Case {
        std::tm when;
        std::string first, second, line;
    } cases[] = {
        {At(2007, 3, 3, 9, 5), "Settings read from the registry", "",
         "2007.03.03 09:05 Settings read from the registry \n"},
        {At(2007, 12, 31, 23, 59), " 1, 1, 0, 10 Feb 12 2007 20:41:53", "InitInstance()",
         "2007.12.31 23:59  1, 1, 0, 10 Feb 12 2007 20:41:53 InitInstance()\n"},
        {At(999, 1, 2, 0, 0), "a", "b", " 999.01.02 00:00 a b\n"},
        {At(2026, 7, 14, 12, 30), "", "", "2026.07.14 12:30  \n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ActivityLog::FormatLine(c.when, c.first, c.second), c.line);
}

class LogFile : public testing::Test {
protected:
    void SetUp() override { ActivityLog::Reset(); }
    void TearDown() override { ActivityLog::Reset(); }
    TempDir m_dir;
};

TEST_F(LogFile, AppendsToExistingLinesAndKeepsThem) {
    const std::string path = m_dir.Write("zdx.log", "earlier line\n");
    ActivityLog::Write(path, "one", "1");
    ActivityLog::Write(path, "two", "");
    const std::string text = TempDir::Read(path);
    ASSERT_EQ(text.rfind("earlier line\n", 0), 0u);
    // Each line is on disk as soon as it is written.
    const auto second = text.find('\n', 13);
    EXPECT_EQ(text.substr(13 + 17, second - 13 - 17), "one 1");
    EXPECT_EQ(text.substr(second + 1 + 17), "two \n");
}

TEST_F(LogFile, LaterCallsWriteIntoTheOpenStreamWhateverNameTheyPass) {
    const std::string path = m_dir.File("zdx.log");
    ActivityLog::Write(path, "first", "");
    ActivityLog::Write(m_dir.File("other.log"), "second", "");
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("other.log")));
    EXPECT_NE(TempDir::Read(path).find("second"), std::string::npos);
}

TEST_F(LogFile, AnUnopenableLogDropsTheLineAndTheNextCallTriesAgain) {
    const std::string path = m_dir.File("missing/zdx.log");
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) // said once, not once a line
        ActivityLog::Write(path, "dropped", "");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path + ":"), std::string::npos) << err;
    EXPECT_EQ(err.find(path + ":"), err.rfind(path + ":")) << err;

    std::filesystem::create_directory(m_dir.File("missing"));
    ActivityLog::Write(path, "kept", "");
    const std::string text = TempDir::Read(path);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find("kept"), std::string::npos);
}

} // namespace
