#pragma once
// The settings as a value: where the service is, which indexes the form offers and how the list
// shows the hits. One table names every key with its section, its defaults and its bounds;
// loading, saving and the settings report all go through it.
#include "config/ColumnLayout.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

class Logger;
class ProfileSource;
class WritableProfileSource;

inline constexpr int kMaxColumns = 10;
inline constexpr int kMaxIndexes = 10;
inline constexpr const char* kDefaultHost = "localhost";
inline constexpr const char* kDefaultCharset = "windows-1252";
inline constexpr const char* kUtf8Charset = "utf-8";

// How to reach the service.
struct ConnectionSettings {
    std::string address = kDefaultHost;
    int port = 80;
    int secure = 0;
    int ignoreCertCnInvalid = 0;
    int ignoreUnknownCa = 0;
    int ignoreRevocation = 0; // kept and saved; no revocation check is made to relax
    // How texts travel: "windows-1252" (the default), or "utf-8", which the request names
    // (charset=utf-8) so that the service answers in UTF-8 too.
    std::string charset = kDefaultCharset;
    bool SendsUtf8() const;
};

struct Settings {
    ConnectionSettings connection;
    std::string searchbase;
    std::array<std::string, kMaxIndexes> index;     // identifiers sent for the form's boxes
    std::array<std::string, kMaxIndexes> indexName; // their labels
    // The list: how many columns, which field each shows, its width and heading.
    int columns = 0;
    std::array<int, kMaxColumns> column{};
    std::array<int, kMaxColumns> headingWidth{};
    std::array<std::string, kMaxColumns> heading;
    int linkColumn = 0; // the last column showing the link, 0 when none does

    // The field id display column i shows, or -1 when the setting names no field.
    int FieldOfColumn(int i) const;
    ColumnLayout Layout() const;
    std::vector<std::string> Headings() const;
};

// One key of the table. Numbered keys ("Index0".."Index9") are one entry with a count.
struct SettingKey {
    enum class Kind { Text, Number };
    const char* section;
    const char* name;
    int count; // 0 for a single key, else the keys name0 .. name<count-1>
    Kind kind;
    // The default when the profile store, or a settings file, has no value; `i` is the number.
    std::string (*profileDefault)(int i);
    std::string (*fileDefault)(int i);
    int min, max;   // numbers outside are brought inside
    bool perColumn; // read for the list's columns only
    // Where the value lives in the settings.
    std::string* (*text)(Settings&, int i);
    int* (*number)(Settings&, int i);
};

// Every key the settings are read from or written to, in reading order.
const std::vector<SettingKey>& SettingKeys();
// The key's full name: "Index3" for number 3 of "Index".
std::string KeyName(const SettingKey& key, int i);

// Reads every setting from `source`, with the defaults of a settings file when `fromFile` is set
// and those of the profile store otherwise. The column keys are read for the columns there are.
// Writes the column lines of the activity log when `log` is on.
Settings LoadSettings(ProfileSource& source, bool fromFile, const Logger& log);
// The settings a source would give when it holds nothing.
Settings DefaultSettings(bool fromFile);

// Writes the connection settings (section Settings) to the profile store.
void SaveConnectionSettings(WritableProfileSource& store, const ConnectionSettings& connection,
                            const std::string& searchbase);

// The profile value under which a confirmed sign-in's name is kept.
inline constexpr const char* kUserSection = "Settings";
inline constexpr const char* kUserKey = "User";

// The default search base of each settings source.
std::string DefaultSearchbase(bool fromFile);

// The effective settings, one "name=value" line each, as zdx-query --settings prints them.
// `source` is the settings file's path, or empty for the profile store.
std::string FormatSettingsReport(const Settings& settings, const std::string& source);
