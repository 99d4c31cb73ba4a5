#include "config/SearchHistory.h"

#include <algorithm>

namespace {
std::string Key(std::size_t i) {
    return "Query" + std::to_string(i);
}
} // namespace

void SearchHistory::Load(ProfileSource& source) {
    m_queries.clear();
    for (std::size_t i = 0; i < kSize; ++i) {
        const std::string query = source.ReadString("History", Key(i), "");
        if (!query.empty() &&
            std::find(m_queries.begin(), m_queries.end(), query) == m_queries.end())
            m_queries.push_back(query);
    }
}

void SearchHistory::Save(WritableProfileSource& store) const {
    for (std::size_t i = 0; i < kSize; ++i)
        store.WriteString("History", Key(i), i < m_queries.size() ? m_queries[i] : "");
}

void SearchHistory::Add(const std::string& query) {
    if (query.find_first_not_of(" \t") == std::string::npos)
        return;
    m_queries.erase(std::remove(m_queries.begin(), m_queries.end(), query), m_queries.end());
    m_queries.insert(m_queries.begin(), query);
    if (m_queries.size() > kSize)
        m_queries.resize(kSize);
}
