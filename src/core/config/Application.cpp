#include "config/Application.h"

#include "config/ProfileSource.h"
#include "config/SettingsFile.h"
#include "diag/ActivityLog.h"
#include "text/Codepage.h"
#include "text/StringTable.h"
#include "text/Version.h"

#include <algorithm>

Application g_app;

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
constexpr int kFileHeadingWidth = 150;

std::string Numbered(const char* name, int i) {
    return name + std::to_string(i);
}

} // namespace

void ParseArguments(const std::vector<std::string>& tokens, Application& app) {
    const std::size_t count = std::min<std::size_t>(tokens.size(), kMaxArgs);
    for (std::size_t i = 0; i < kMaxArgs; ++i)
        app.m_args[i] = i < count ? tokens[i] : std::string();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& token = app.m_args[i];
        // Only '-' starts an option: a token starting with '/' is an absolute path here.
        if (token.size() < 2 || token[0] != '-')
            continue;
        if (token[1] == 'f') {
            if (token.size() == 2)
                continue; // a bare -f names no file
            std::string path = token.substr(2);
            path.erase(std::remove(path.begin(), path.end(), '"'), path.end());
            if (Utf8PrefixBytes(path, kMaxIniPathChars) < path.size()) {
                app.m_rejectedIniFile = path;
                continue;
            }
            app.m_iniFile = path;
        } else if (token[1] == 'l') {
            app.m_logEnabled = 1;
        }
    }
}

std::string DefaultSearchbase(bool fromFile) {
    if (fromFile)
        return "lvsearch/SearchServlet?site=eastvale&template=PlainTemplate.html&numhits=999";
    return std::string("lvsearch/SearchServlet?site=") + kDefaultHost +
           "&theme=zdx&template=PlainTemplate.html&numhits=999";
}

void Application::Log(std::string_view first, std::string_view second) const {
    if (m_logEnabled)
        ActivityLog::Write(m_logFile, first, second);
}

void Application::StartUp(ProfileSource& profileStore) {
    ParseArguments(m_cmdLine, *this);
    m_logFile = "zdx.log";
    ActivityLog::Reset();
    if (m_logEnabled) {
        Log(std::string(" ") + kVersionText + " " + BuildDate() + " " + BuildTime(),
            "InitInstance()");
        if (!m_rejectedIniFile.empty())
            Log("Settings file path longer than 255 characters ignored:", m_rejectedIniFile);
    }
    SetColumnDefaults();
    if (!m_iniFile.empty()) {
        SettingsFile file(m_iniFile);
        ReadSettings(file, true);
    } else {
        ReadSettings(profileStore, false);
    }
    m_userName.clear();
}

void Application::SetColumnDefaults() {
    m_columns = kBuiltInColumnCount;
    for (int i = 0; i < kBuiltInColumnCount; ++i) {
        m_column[i] = i;
        m_defaultHeading[i] = ::Text(kBuiltInColumns[i].headingId);
        m_defaultWidth[i] = kBuiltInColumns[i].width;
    }
}

void Application::ReadSettings(ProfileSource& source, bool fromFile) {
    if (fromFile)
        Log("Settings read from", m_iniFile);
    else
        Log("Settings read from the registry", "");

    const std::string settings = "Settings";
    m_address = source.GetProfileString(settings, "Address", kDefaultHost);
    m_port = source.GetProfileInt(settings, "Port", 80);
    m_searchbase = source.GetProfileString(settings, "Searchbase", DefaultSearchbase(fromFile));
    m_secure = source.GetProfileInt(settings, "Secure", 0);
    m_ignoreCertCnInvalid = source.GetProfileInt(settings, "IgnoreCertCnInvalid", 0);
    m_ignoreUnknownCa = source.GetProfileInt(settings, "IgnoreUnknownCa", 0);
    m_ignoreRevocation = source.GetProfileInt(settings, "IgnoreRevocation", 0);

    for (int i = 0; i < kMaxIndexes; ++i)
        m_index[i] = source.GetProfileString("Indexes", Numbered("Index", i), "");
    for (int i = 0; i < kMaxIndexes; ++i)
        m_indexName[i] = source.GetProfileString("Indexes", Numbered("IndexName", i), "");

    // The column arrays hold ten entries: a larger count is taken as ten, a negative one as 0.
    m_columns =
        std::clamp(source.GetProfileInt("List", "Columns", kBuiltInColumnCount), 0, kMaxColumns);
    m_linkColumn = 0;
    for (int i = 0; i < m_columns; ++i) {
        m_column[i] = source.GetProfileInt("List", Numbered("Column", i), i);
        if (m_logEnabled)
            Log("Column " + std::to_string(i) + " = " + std::to_string(m_column[i]), "");
        if (m_column[i] == kLinkField)
            m_linkColumn = i;
    }
    Log("theApp.m_urlColumn = " + std::to_string(m_linkColumn), ""); // the log's fixed wording

    for (int i = 0; i < m_columns; ++i) {
        // A negative width would be taken as a huge one by the list: it shows as 0.
        m_headingWidth[i] =
            std::max(0, source.GetProfileInt("List", Numbered("HeadingWidth", i),
                                             fromFile ? kFileHeadingWidth : m_defaultWidth[i]));
        m_heading[i] = source.GetProfileString("List", Numbered("Heading", i),
                                               fromFile ? std::string() : m_defaultHeading[i]);
    }
}

int Application::FieldOfColumn(int i) const {
    if (i < 0 || i >= m_columns || m_column[i] < 0 || m_column[i] >= kMaxColumns)
        return -1;
    return m_column[i];
}

ColumnLayout Application::Layout() const {
    ColumnLayout layout;
    layout.columns = m_columns;
    for (int i = 0; i < m_columns; ++i)
        layout.field[i] = FieldOfColumn(i);
    return layout;
}

std::string Application::Text(unsigned id) const {
    return ::Text(id);
}

void Application::SetStatusText(const std::string& text) {
    if (m_statusPanes)
        m_statusPanes->SetStatusText(text);
}

void Application::SetAuthText(const std::string& text) {
    if (m_statusPanes)
        m_statusPanes->SetAuthText(text);
}

void Application::SetHitCount(int count) {
    if (m_statusPanes)
        m_statusPanes->SetHitCount(count);
}

std::string FormatSettingsReport(const Application& app) {
    std::string out;
    auto line = [&out](const std::string& name, const std::string& value) {
        out.append(name).append("=").append(value.substr(0, value.find('\0'))).append("\n");
    };
    auto num = [](int v) { return std::to_string(v); };
    line("source", app.m_iniFile.empty() ? "registry" : app.m_iniFile);
    line("Settings/Address", app.m_address);
    line("Settings/Port", num(app.m_port));
    line("Settings/Searchbase", app.m_searchbase);
    line("Settings/Secure", num(app.m_secure));
    line("Settings/IgnoreCertCnInvalid", num(app.m_ignoreCertCnInvalid));
    line("Settings/IgnoreUnknownCa", num(app.m_ignoreUnknownCa));
    line("Settings/IgnoreRevocation", num(app.m_ignoreRevocation));
    for (int i = 0; i < kMaxIndexes; ++i)
        line(Numbered("Indexes/Index", i), app.m_index[i]);
    for (int i = 0; i < kMaxIndexes; ++i)
        line(Numbered("Indexes/IndexName", i), app.m_indexName[i]);
    line("List/Columns", num(app.m_columns));
    for (int i = 0; i < app.m_columns; ++i) {
        line(Numbered("List/Column", i), num(app.m_column[i]));
        line(Numbered("List/HeadingWidth", i), num(app.m_headingWidth[i]));
        line(Numbered("List/Heading", i), app.m_heading[i]);
    }
    line("urlColumn", num(app.m_linkColumn));
    return out;
}
