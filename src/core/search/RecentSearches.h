#pragma once
// The search history: the last 20 searches, newest first, each with its query, ticked indexes,
// date range and file-name filter, so that picking one restores all of it. Kept in the state
// folder ($XDG_STATE_HOME/zdx/history, by the XDG base-directory convention), a line a search:
// query, file-name filter, ticked boxes ("024") and date range word, apart by tabs.
#include "search/QueryText.h"

#include <string>
#include <vector>

class RecentSearches {
public:
    static constexpr std::size_t kSize = 20;

    // $XDG_STATE_HOME/zdx/history, or ~/.local/state/zdx/history.
    static std::string DefaultPath();

    // Reads the history; false when there is no file yet (nothing read).
    bool Load(const std::string& path);
    // Writes it whole, making the folder; false on failure.
    bool Save(const std::string& path) const;

    // Puts the search first; an older one with the same query goes; a blank query is not kept.
    void Add(const SearchRequest& search);
    void Clear() { m_entries.clear(); }
    const std::vector<SearchRequest>& Entries() const { return m_entries; }
    std::vector<std::string> Queries() const;
    // The newest entry with this query, or null.
    const SearchRequest* Find(const std::string& query) const;

private:
    std::vector<SearchRequest> m_entries;
};
