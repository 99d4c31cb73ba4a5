#pragma once
// Where settings are read from: the per-user profile store or a settings file. Loading is one
// piece of code over this interface; only the profile store can be written.
#include <string>

class ProfileSource {
public:
    virtual ~ProfileSource() = default;
    virtual std::string GetProfileString(const std::string& section, const std::string& key,
                                         const std::string& def) = 0;
    virtual int GetProfileInt(const std::string& section, const std::string& key, int def) = 0;
};

class WritableProfileSource : public ProfileSource {
public:
    virtual void WriteProfileString(const std::string& section, const std::string& key,
                                    const std::string& value) = 0;
    virtual void WriteProfileInt(const std::string& section, const std::string& key, int value) = 0;
};
