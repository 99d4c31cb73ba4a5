#pragma once
// The four most recently used document files, newest first, kept in the profile store under
// "Recent File List" as File1..File4.
#include "config/ProfileSource.h"

#include <string>
#include <vector>

class RecentFileList {
public:
    static constexpr std::size_t kSize = 4;

    void Load(ProfileSource& source);
    void Save(WritableProfileSource& store) const;

    // Puts the file first (once); the oldest beyond four drops off.
    void Add(const std::string& path);
    void Remove(std::size_t index);
    const std::vector<std::string>& Files() const { return m_files; }

    // The menu text of entry `index`: "&1 name", with '&' in the name doubled.
    static std::string MenuText(std::size_t index, const std::string& path);

private:
    std::vector<std::string> m_files;
};
