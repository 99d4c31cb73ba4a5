#pragma once
// A most-recent-first list of texts, each at most once, of bounded length, kept in the profile
// store as numbered keys of one section. The recent files and the search history are two.
#include "config/ProfileSource.h"

#include <string>
#include <vector>

class MostRecentList {
public:
    // Keys <prefix><first> .. <prefix><first + size - 1> of `section`.
    MostRecentList(const char* section, const char* prefix, int first, std::size_t size)
        : m_section(section), m_prefix(prefix), m_first(first), m_size(size) {}

    // The stored entries, empty ones and repeats left out.
    void Load(ProfileSource& source);
    // Every key, those past the entries emptied.
    void Save(WritableProfileSource& store) const;

    // Puts the text first (once); the oldest beyond the size drops off.
    void Add(const std::string& text);
    void Remove(std::size_t index);
    void Clear() { m_entries.clear(); }
    const std::vector<std::string>& Entries() const { return m_entries; }
    std::size_t Size() const { return m_size; }

private:
    std::string Key(std::size_t i) const;

    const char* m_section;
    const char* m_prefix;
    int m_first;
    std::size_t m_size;
    std::vector<std::string> m_entries;
};
