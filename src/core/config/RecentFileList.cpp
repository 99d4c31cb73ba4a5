#include "config/RecentFileList.h"

#include <algorithm>

namespace {
constexpr const char* kSection = "Recent File List";
std::string Key(std::size_t i) {
    return "File" + std::to_string(i + 1);
}
} // namespace

void RecentFileList::Load(ProfileSource& source) {
    m_files.clear();
    for (std::size_t i = 0; i < kSize; ++i) {
        const std::string path = source.ReadString(kSection, Key(i), "");
        if (!path.empty() && std::find(m_files.begin(), m_files.end(), path) == m_files.end())
            m_files.push_back(path);
    }
}

void RecentFileList::Save(WritableProfileSource& store) const {
    for (std::size_t i = 0; i < kSize; ++i)
        store.WriteString(kSection, Key(i), i < m_files.size() ? m_files[i] : "");
}

void RecentFileList::Add(const std::string& path) {
    m_files.erase(std::remove(m_files.begin(), m_files.end(), path), m_files.end());
    m_files.insert(m_files.begin(), path);
    if (m_files.size() > kSize)
        m_files.resize(kSize);
}

void RecentFileList::Remove(std::size_t index) {
    if (index < m_files.size())
        m_files.erase(m_files.begin() + static_cast<std::ptrdiff_t>(index));
}

std::string RecentFileList::MenuText(std::size_t index, const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string text = "&";
    text += std::to_string(index + 1);
    text += ' ';
    for (char c : name) {
        if (c == '&')
            text += '&'; // shown as one '&', not as a mnemonic
        text += c;
    }
    return text;
}
