#include "profile/ProfileStore.h"

#include "../core/TempDir.h"

#include <QSettings>
#include <gtest/gtest.h>

namespace {

class ProfileStoreTest : public testing::Test {
protected:
    void SetUp() override {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                           QString::fromStdString(m_dir.Path().string()));
    }
    std::string ConfPath() const { return m_dir.File("Norvane/ZDX.conf"); }
    TempDir m_dir;
};

TEST_F(ProfileStoreTest, WrittenValuesReadBackInTheUsualPlace) {
    {
        ProfileStore store;
        store.WriteString("Settings", "Address", "search.example, second; x=y");
        store.WriteString("Settings", "User", "J\xC3\xBCrgen");
        store.WriteInt("Splitter", "Splitter0Cur", -250);
        store.Flush();
    }
    ASSERT_TRUE(std::filesystem::exists(ConfPath()));
    ProfileStore store;
    EXPECT_EQ(store.ReadString("Settings", "Address", ""), "search.example, second; x=y");
    EXPECT_EQ(store.ReadString("Settings", "User", ""), "J\xC3\xBCrgen");
    EXPECT_EQ(store.ReadInt("Splitter", "Splitter0Cur", 0), -250);
}

TEST_F(ProfileStoreTest, JunkValuesGiveTheDefault) {
    m_dir.Write("Norvane/ZDX.conf", "[List]\nColumns=abc\nColumn0=99999999999\nColumn1= 42 \n"
                                    "Column2=@Rect(1 2 3 4)\nColumn3=\nHeading0=a, b\n"
                                    "Heading1=@ByteArray(xyz)\n");
    ProfileStore store;
    EXPECT_EQ(store.ReadInt("List", "Columns", 8), 8);
    EXPECT_EQ(store.ReadInt("List", "Column0", 7), 7);
    EXPECT_EQ(store.ReadInt("List", "Column1", 7), 42);
    EXPECT_EQ(store.ReadInt("List", "Column2", 7), 7);
    EXPECT_EQ(store.ReadInt("List", "Column3", 7), 7);
    EXPECT_EQ(store.ReadInt("List", "Missing", 7), 7);
    EXPECT_EQ(store.ReadString("List", "Heading0", "d"), "a, b");
    EXPECT_EQ(store.ReadString("List", "Heading1", "d"), "xyz");
    EXPECT_EQ(store.ReadString("List", "Missing", "d"), "d");
}

} // namespace
