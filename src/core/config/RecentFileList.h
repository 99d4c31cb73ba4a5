#pragma once
// The four most recently used document files, newest first, kept in the profile store under
// "Recent File List" as File1..File4.
#include "config/MostRecentList.h"

class RecentFileList : public MostRecentList {
public:
    static constexpr std::size_t kSize = 4;
    RecentFileList() : MostRecentList("Recent File List", "File", 1, kSize) {}

    const std::vector<std::string>& Files() const { return Entries(); }

    // The menu text of entry `index`: "&1 name", with '&' in the name doubled.
    static std::string MenuText(std::size_t index, const std::string& path);
};
