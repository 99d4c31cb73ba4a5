#include "config/RecentFileList.h"
#include "config/WindowPlacement.h"

#include <gtest/gtest.h>

namespace {

TEST(FitOnScreens, KeepsReachablePlacementsAndMovesTheRest) {
    const std::vector<PlacementRect> screens = {{0, 0, 1920, 1080}, {1920, 0, 3200, 1024}};
    struct Case {
        PlacementRect in, out;
    } cases[] = {
        {{100, 100, 900, 700}, {100, 100, 900, 700}},          // as stored
        {{2000, 50, 2600, 650}, {2000, 50, 2600, 650}},        // on the second screen
        {{-5000, -5000, -4200, -4400}, {560, 240, 1360, 840}}, // on no screen: centred on the first
        {{100, 100, 90000, 90000}, {100, 100, 2020, 1180}},    // too large: a screen's worth...
        {{100, 100, 50, 50}, {100, 100, 400, 300}},            // negative size: the least size
        {{-2147483647, 0, 2147483647, 500}, {0, 0, 1920, 500}},
    };
    for (const auto& c : cases) {
        PlacementRect r = FitOnScreens(c.in, screens, 300, 200);
        // ...moved onto a screen when its top or middle is off every screen.
        EXPECT_EQ(r.Width(), c.out.Width()) << c.in.left;
        EXPECT_EQ(r.Height(), c.out.Height()) << c.in.left;
        const int midX = (r.left + r.right) / 2;
        bool onScreen = false;
        for (const auto& s : screens)
            onScreen |= midX >= s.left && midX < s.right && r.top >= s.top && r.top < s.bottom;
        EXPECT_TRUE(onScreen) << c.in.left;
        if (c.in.left == 100 || c.in.left == 2000) {
            EXPECT_EQ(r.left, c.out.left);
        }
    }
    EXPECT_EQ(FitOnScreens({1, 2, 3, 4}, {}, 10, 10).right, 3); // no screens known: as stored
}

TEST(RecentFileList, NewestFirstFourAtMost) {
    RecentFileList list;
    for (const char* path : {"/a/1", "/a/2", "/a/1", "/a/3", "/a/4", "/a/5"})
        list.Add(path);
    EXPECT_EQ(list.Files(), (std::vector<std::string>{"/a/5", "/a/4", "/a/3", "/a/1"}));
    list.Remove(1);
    list.Remove(17);
    EXPECT_EQ(list.Files(), (std::vector<std::string>{"/a/5", "/a/3", "/a/1"}));
    EXPECT_EQ(RecentFileList::MenuText(0, "/docs/R&D notes.zdx"), "&1 R&&D notes.zdx");
    EXPECT_EQ(RecentFileList::MenuText(3, "plain"), "&4 plain");
}

} // namespace
