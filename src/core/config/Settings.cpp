#include "config/Settings.h"

#include "config/ProfileSource.h"
#include "diag/ActivityLog.h"
#include "text/StringTable.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace {

struct BuiltInColumn {
    unsigned headingId;
    int width;
};
constexpr BuiltInColumn kBuiltInColumns[] = {
    {TextId::HeadingTitle, 200},    {TextId::HeadingRelevance, 40},
    {TextId::HeadingFilename, 130}, {TextId::HeadingDescription, 200},
    {TextId::HeadingDate, 100},     {TextId::HeadingFormat, 70},
    {TextId::HeadingLink, 200},     {TextId::HeadingAuthor, 100},
};
constexpr int kBuiltInColumnCount = 8;
constexpr int kLinkField = 6;

using Kind = SettingKey::Kind;

std::string Empty(int) {
    return {};
}
std::string Zero(int) {
    return "0";
}
std::string Host(int) {
    return kDefaultHost;
}
std::string HttpPort(int) {
    return "80";
}
std::string Number(int i) {
    return std::to_string(i);
}
std::string BuiltInWidth(int i) {
    return std::to_string(i < kBuiltInColumnCount ? kBuiltInColumns[i].width : 0);
}
std::string BuiltInHeading(int i) {
    return i < kBuiltInColumnCount ? Text(kBuiltInColumns[i].headingId) : std::string();
}

const std::vector<SettingKey> kKeys = {
    {"Settings", "Address", 0, Kind::Text, Host, Host, 0, 0, false,
     [](Settings& s, int) { return &s.connection.address; }, nullptr},
    {"Settings", "Port", 0, Kind::Number, HttpPort, HttpPort, INT_MIN, INT_MAX, false, nullptr,
     [](Settings& s, int) { return &s.connection.port; }},
    {"Settings", "Searchbase", 0, Kind::Text, [](int) { return DefaultSearchbase(false); },
     [](int) { return DefaultSearchbase(true); }, 0, 0, false,
     [](Settings& s, int) { return &s.searchbase; }, nullptr},
    {"Settings", "Secure", 0, Kind::Number, Zero, Zero, INT_MIN, INT_MAX, false, nullptr,
     [](Settings& s, int) { return &s.connection.secure; }},
    {"Settings", "IgnoreCertCnInvalid", 0, Kind::Number, Zero, Zero, INT_MIN, INT_MAX, false,
     nullptr, [](Settings& s, int) { return &s.connection.ignoreCertCnInvalid; }},
    {"Settings", "IgnoreUnknownCa", 0, Kind::Number, Zero, Zero, INT_MIN, INT_MAX, false, nullptr,
     [](Settings& s, int) { return &s.connection.ignoreUnknownCa; }},
    {"Settings", "IgnoreRevocation", 0, Kind::Number, Zero, Zero, INT_MIN, INT_MAX, false, nullptr,
     [](Settings& s, int) { return &s.connection.ignoreRevocation; }},
    {"Settings", "Charset", 0, Kind::Text, [](int) { return std::string(kDefaultCharset); },
     [](int) { return std::string(kDefaultCharset); }, 0, 0, false,
     [](Settings& s, int) { return &s.connection.charset; }, nullptr},
    {"Indexes", "Index", kMaxIndexes, Kind::Text, Empty, Empty, 0, 0, false,
     [](Settings& s, int i) { return &s.index[i]; }, nullptr},
    {"Indexes", "IndexName", kMaxIndexes, Kind::Text, Empty, Empty, 0, 0, false,
     [](Settings& s, int i) { return &s.indexName[i]; }, nullptr},
    // The column arrays hold ten entries: a larger count is taken as ten, a negative one as 0.
    {"List", "Columns", 0, Kind::Number, [](int) { return std::to_string(kBuiltInColumnCount); },
     [](int) { return std::to_string(kBuiltInColumnCount); }, 0, kMaxColumns, false, nullptr,
     [](Settings& s, int) { return &s.columns; }},
    {"List", "Column", kMaxColumns, Kind::Number, Number, Number, INT_MIN, INT_MAX, true, nullptr,
     [](Settings& s, int i) { return &s.column[i]; }},
    // A negative width would be taken as a huge one by the list: it shows as 0.
    {"List", "HeadingWidth", kMaxColumns, Kind::Number, BuiltInWidth,
     [](int) { return std::string("150"); }, 0, INT_MAX, true, nullptr,
     [](Settings& s, int i) { return &s.headingWidth[i]; }},
    {"List", "Heading", kMaxColumns, Kind::Text, BuiltInHeading, Empty, 0, 0, true,
     [](Settings& s, int i) { return &s.heading[i]; }, nullptr},
};

int ToInt(const std::string& text) {
    return std::stoi(text); // the table's own defaults, always numbers
}

} // namespace

const std::vector<SettingKey>& SettingKeys() {
    return kKeys;
}

std::string KeyName(const SettingKey& key, int i) {
    return key.count == 0 ? std::string(key.name) : key.name + std::to_string(i);
}

std::string DefaultSearchbase(bool fromFile) {
    if (fromFile)
        return "lvsearch/SearchServlet?site=eastvale&template=PlainTemplate.html&numhits=999";
    return std::string("lvsearch/SearchServlet?site=") + kDefaultHost +
           "&theme=zdx&template=PlainTemplate.html&numhits=999";
}

Settings LoadSettings(ProfileSource& source, bool fromFile, const Logger& log) {
    Settings settings;
    for (const SettingKey& key : kKeys) {
        const int count = key.count == 0 ? 1 : key.perColumn ? settings.columns : key.count;
        for (int i = 0; i < count; ++i) {
            const std::string name = KeyName(key, i);
            const std::string def = fromFile ? key.fileDefault(i) : key.profileDefault(i);
            if (key.kind == Kind::Text)
                *key.text(settings, i) = source.ReadString(key.section, name, def);
            else
                *key.number(settings, i) =
                    std::clamp(source.ReadInt(key.section, name, ToInt(def)), key.min, key.max);
        }
    }
    for (int i = 0; i < settings.columns; ++i)
        if (settings.column[i] == kLinkField)
            settings.linkColumn = i;
    if (log.Enabled()) {
        for (int i = 0; i < settings.columns; ++i)
            log.Write("Column " + std::to_string(i) + " = " + std::to_string(settings.column[i]),
                      "");
        log.Write("theApp.m_urlColumn = " + std::to_string(settings.linkColumn), ""); // as is
    }
    return settings;
}

Settings DefaultSettings(bool fromFile) {
    class Nothing : public ProfileSource {
        std::string ReadString(const std::string&, const std::string&,
                               const std::string& def) override {
            return def;
        }
        int ReadInt(const std::string&, const std::string&, int def) override { return def; }
    } nothing;
    return LoadSettings(nothing, fromFile, Logger());
}

void SaveConnectionSettings(WritableProfileSource& store, const ConnectionSettings& connection,
                            const std::string& searchbase) {
    Settings settings;
    settings.connection = connection;
    settings.searchbase = searchbase;
    for (const SettingKey& key : kKeys) {
        if (std::string_view(key.section) != "Settings")
            continue;
        if (key.kind == Kind::Text)
            store.WriteString(key.section, key.name, *key.text(settings, 0));
        else
            store.WriteInt(key.section, key.name, *key.number(settings, 0));
    }
}

bool ConnectionSettings::SendsUtf8() const {
    std::string lower = charset;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower == kUtf8Charset || lower == "utf8";
}

int Settings::FieldOfColumn(int i) const {
    if (i < 0 || i >= columns || column[i] < 0 || column[i] >= kMaxColumns)
        return -1;
    return column[i];
}

ColumnLayout Settings::Layout() const {
    ColumnLayout layout;
    layout.columns = columns;
    for (int i = 0; i < columns; ++i)
        layout.field[i] = FieldOfColumn(i);
    return layout;
}

std::vector<std::string> Settings::Headings() const {
    return std::vector<std::string>(heading.begin(), heading.begin() + columns);
}

std::string FormatSettingsReport(const Settings& settings, const std::string& source) {
    std::string out;
    auto line = [&out](const std::string& name, const std::string& value) {
        out.append(name).append("=").append(value.substr(0, value.find('\0'))).append("\n");
    };
    line("source", source.empty() ? "registry" : source);
    Settings copy = settings;
    // The table's order, but a column's three keys together, as the report has always had them.
    for (const SettingKey& key : kKeys) {
        if (key.perColumn)
            continue;
        const int count = key.count == 0 ? 1 : key.count;
        for (int i = 0; i < count; ++i) {
            const std::string name = std::string(key.section) + "/" + KeyName(key, i);
            line(name, key.kind == Kind::Text ? *key.text(copy, i)
                                              : std::to_string(*key.number(copy, i)));
        }
    }
    for (int i = 0; i < settings.columns; ++i)
        for (const SettingKey& key : kKeys)
            if (key.perColumn)
                line(std::string(key.section) + "/" + KeyName(key, i),
                     key.kind == Kind::Text ? *key.text(copy, i)
                                            : std::to_string(*key.number(copy, i)));
    line("urlColumn", std::to_string(settings.linkColumn));
    return out;
}
