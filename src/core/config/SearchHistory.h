#pragma once
// The queries searched for lately, newest first, without repeats: at most 20, kept in the
// profile store under "History" as Query0..Query19 (also when the settings come from a
// settings file, like the window placement).
#include "config/ProfileSource.h"

#include <string>
#include <vector>

class SearchHistory {
public:
    static constexpr std::size_t kSize = 20;

    void Load(ProfileSource& source);
    void Save(WritableProfileSource& store) const;

    // Puts the query first (once; a blank query is not kept); the oldest beyond 20 drops off.
    void Add(const std::string& query);
    void Clear() { m_queries.clear(); }
    const std::vector<std::string>& Queries() const { return m_queries; }

private:
    std::vector<std::string> m_queries;
};
