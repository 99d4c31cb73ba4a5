#include "config/MostRecentList.h"

#include <algorithm>

std::string MostRecentList::Key(std::size_t i) const {
    return m_prefix + std::to_string(static_cast<std::size_t>(m_first) + i);
}

void MostRecentList::Load(ProfileSource& source) {
    m_entries.clear();
    for (std::size_t i = 0; i < m_size; ++i) {
        const std::string text = source.ReadString(m_section, Key(i), "");
        if (!text.empty() && std::find(m_entries.begin(), m_entries.end(), text) == m_entries.end())
            m_entries.push_back(text);
    }
}

void MostRecentList::Save(WritableProfileSource& store) const {
    for (std::size_t i = 0; i < m_size; ++i)
        store.WriteString(m_section, Key(i), i < m_entries.size() ? m_entries[i] : "");
}

void MostRecentList::Add(const std::string& text) {
    m_entries.erase(std::remove(m_entries.begin(), m_entries.end(), text), m_entries.end());
    m_entries.insert(m_entries.begin(), text);
    if (m_entries.size() > m_size)
        m_entries.resize(m_size);
}

void MostRecentList::Remove(std::size_t index) {
    if (index < m_entries.size())
        m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
}
