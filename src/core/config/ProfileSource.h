#pragma once
// Where settings are read from: the per-user profile store or a settings file. Loading is one
// piece of code over this interface; only the profile store can be written.
#include <string>

class ProfileSource {
public:
    virtual ~ProfileSource() = default;
    virtual std::string ReadString(const std::string& section, const std::string& key,
                                   const std::string& def) = 0;
    virtual int ReadInt(const std::string& section, const std::string& key, int def) = 0;
};

class WritableProfileSource : public ProfileSource {
public:
    virtual void WriteString(const std::string& section, const std::string& key,
                             const std::string& value) = 0;
    virtual void WriteInt(const std::string& section, const std::string& key, int value) = 0;
};
