#pragma once
// The per-user profile store: ~/.config/Norvane/ZDX.conf through QSettings, one group per
// section, integers stored as numbers.
#include "config/ProfileSource.h"

#include <memory>

class QSettings;

class ProfileStore : public WritableProfileSource {
public:
    ProfileStore();
    ~ProfileStore() override;

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) override;
    // A stored value that is not a 32-bit integer gives the default.
    int ReadInt(const std::string& section, const std::string& key, int def) override;
    void WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
    void WriteInt(const std::string& section, const std::string& key, int value) override;

    // Writes pending changes to disk now.
    void Flush();

private:
    std::unique_ptr<QSettings> m_settings;
};
