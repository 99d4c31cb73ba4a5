#include "config/SettingsFile.h"

#include "text/Codepage.h"

#include <algorithm>
#include <cstdint>
#include <fstream>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

// The file's text as UTF-8, whatever encoding it came in.
std::string DecodeFileText(std::string_view bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
        return Utf16ToUtf8(bytes.substr(2), false);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
        static_cast<unsigned char>(bytes[1]) == 0xFF)
        return Utf16ToUtf8(bytes.substr(2), true);
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    if (IsValidUtf8(bytes))
        return std::string(bytes);
    return Cp1252ToUtf8(bytes);
}

} // namespace

int ReadProfileInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (IsBlank(text[i]) || text[i] == '\r' || text[i] == '\n'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<std::uint32_t>(text[i] - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

SettingsFile::SettingsFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return;
    // Read at the file's size (at most the limit), never into a buffer of the limit's size.
    std::string bytes;
    char chunk[16384];
    while (bytes.size() < kMaxFileBytes &&
           in.read(chunk, static_cast<std::streamsize>(
                              std::min(sizeof chunk, kMaxFileBytes - bytes.size()))))
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() < kMaxFileBytes)
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
    Parse(bytes);
}

SettingsFile SettingsFile::FromBytes(std::string_view bytes) {
    SettingsFile file;
    file.Parse(bytes.substr(0, kMaxFileBytes));
    return file;
}

void SettingsFile::Parse(std::string_view bytes) {
    const std::string text = DecodeFileText(bytes);
    Section* current = nullptr;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find_first_of("\r\n", pos);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line = Trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty())
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.rfind(']');
            if (close == std::string_view::npos)
                continue; // not a section header, and no value either
            m_sections.push_back({std::string(Trim(line.substr(1, close - 1))), {}});
            current = &m_sections.back();
            continue;
        }
        if (!current) {
            // Values before the first header belong to a section without a name.
            m_sections.push_back({std::string(), {}});
            current = &m_sections.back();
        }
        const std::size_t eq = line.find('=');
        std::string_view name = Trim(line.substr(0, eq));
        std::string_view value =
            eq == std::string_view::npos ? std::string_view() : line.substr(eq + 1);
        value = Trim(value.substr(0, value.find('\0'))); // a NUL byte ends the value
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        value = value.substr(0, Utf8PrefixBytes(value, kMaxValueChars));
        current->values.emplace_back(std::string(name), std::string(value));
    }
}

const std::string* SettingsFile::Find(std::string_view section, std::string_view key) const {
    for (const Section& s : m_sections) {
        if (!EqualsNoCase(s.name, section))
            continue;
        for (const auto& [name, value] : s.values)
            if (EqualsNoCase(name, key))
                return &value;
        return nullptr; // only the first section of that name is searched
    }
    return nullptr;
}

std::string SettingsFile::ReadString(const std::string& section, const std::string& key,
                                     const std::string& def) {
    const std::string* value = Find(section, key);
    return value ? *value : def;
}

int SettingsFile::ReadInt(const std::string& section, const std::string& key, int def) {
    const std::string* value = Find(section, key);
    if (!value || value->empty())
        return def;
    return ReadProfileInt(*value);
}
