#pragma once
// A read-only INI settings file, read the way the Windows private-profile calls read one:
// section and value names compared without case, the first match wins, blanks around names and
// values trimmed, one pair of surrounding quotes removed, values cut to 255 characters, integers
// read from an optional sign and their leading decimal digits.
#include "config/ProfileSource.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

class SettingsFile : public ProfileSource {
public:
    // Reads the file; a file that is missing or unreadable reads as an empty one.
    explicit SettingsFile(const std::string& path);
    // Reads the given file contents.
    static SettingsFile FromBytes(std::string_view bytes);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) override;
    int ReadInt(const std::string& section, const std::string& key, int def) override;

    // The value as stored, or nullptr when the section or name is not there.
    const std::string* Find(std::string_view section, std::string_view key) const;

    // The most a settings file contributes; the rest of a larger file is not read.
    static constexpr std::size_t kMaxFileBytes = 16u << 20;
    static constexpr std::size_t kMaxValueChars = 255;

private:
    SettingsFile() = default;
    void Parse(std::string_view bytes);

    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> values;
    };
    std::vector<Section> m_sections;
};

// Reads a settings-file integer as the Windows reader does: leading blanks skipped, an optional
// sign, then decimal digits, wrapping at 32 bits; a text without digits reads as 0.
int ReadProfileInt(std::string_view text);
