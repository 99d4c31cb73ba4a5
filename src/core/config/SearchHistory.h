#pragma once
// The queries searched for lately, newest first, without repeats: at most 20, kept in the
// profile store under "History" as Query0..Query19 (also when the settings come from a
// settings file, like the window placement).
#include "config/MostRecentList.h"

class SearchHistory : public MostRecentList {
public:
    static constexpr std::size_t kSize = 20;
    SearchHistory() : MostRecentList("History", "Query", 0, kSize) {}

    // Puts the query first (once; a blank query is not kept); the oldest beyond 20 drops off.
    void Add(const std::string& query) {
        if (query.find_first_not_of(" \t") != std::string::npos)
            MostRecentList::Add(query);
    }
    const std::vector<std::string>& Queries() const { return Entries(); }
};
