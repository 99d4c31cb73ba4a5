#pragma once
// The application object: the whole configuration, the run-time state several parts share, and
// the forwarders to the main window's status panes.
#include "config/ColumnLayout.h"

#include <string>
#include <string_view>
#include <vector>

class ProfileSource;
class ResultList;

// The three status panes other parts write to; the main window provides them.
class StatusPanes {
public:
    virtual ~StatusPanes() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetAuthText(const std::string& text) = 0;
    virtual void SetHitCount(int count) = 0;
};

inline constexpr int kMaxArgs = 10;
inline constexpr int kMaxColumns = 10;
inline constexpr int kMaxIndexes = 10;
inline constexpr std::size_t kMaxIniPathChars = 255;
inline constexpr const char* kDefaultHost = "localhost";

class Application {
public:
    std::string m_address;
    int m_port = 0;
    std::string m_searchbase;
    std::string m_args[kMaxArgs];
    std::string m_index[kMaxIndexes];
    std::string m_indexName[kMaxIndexes];
    std::string m_heading[kMaxColumns];
    std::string m_defaultHeading[kMaxColumns];
    int m_columns = 0;
    int m_column[kMaxColumns] = {};
    int m_headingWidth[kMaxColumns] = {};
    int m_defaultWidth[kMaxColumns] = {};
    std::string m_iniFile;
    int m_linkColumn = 0;
    int m_secure = 0;
    int m_ignoreUnknownCa = 0;
    int m_ignoreCertCnInvalid = 0;
    int m_ignoreRevocation = 0;
    int m_logEnabled = 0;
    std::string m_userName;
    std::string m_logFile;
    ResultList* m_resultList = nullptr;

    // The program's arguments without the program name, as start-up is handed them.
    std::vector<std::string> m_cmdLine;
    // An -f path that was too long to use; start-up notes it in the log.
    std::string m_rejectedIniFile;
    // The main window's status panes, once the window exists.
    StatusPanes* m_statusPanes = nullptr;

    // Start-up of the desktop program, and its about box; defined by the desktop program.
    bool StartWindow();
    void OnAppAbout();

    // The part of start-up every front end shares: the command line, the activity log, the
    // column defaults and every setting, read from the settings file named by -f or else from
    // the given profile store.
    void StartUp(ProfileSource& profileStore);

    void SetColumnDefaults();
    // Reads every setting from `source`, with the defaults of a settings file when `fromFile`
    // is set and those of the profile store otherwise.
    void ReadSettings(ProfileSource& source, bool fromFile);

    // The field id display column i shows, or -1 when the setting names no field (an empty cell).
    int FieldOfColumn(int i) const;
    // Which field each display column shows.
    ColumnLayout Layout() const;

    std::string Text(unsigned id) const;

    void SetStatusText(const std::string& text);
    void SetAuthText(const std::string& text);
    void SetHitCount(int count);

    // Writes a line to the activity log when logging is on.
    void Log(std::string_view first, std::string_view second) const;
};

extern Application g_app;

// Takes the program's own options from the argument tokens: -f<path> (settings file) and
// -l (activity log). Only the first ten tokens are kept.
void ParseArguments(const std::vector<std::string>& tokens, Application& app);

// The default search base of each settings source.
std::string DefaultSearchbase(bool fromFile);

// The effective settings, one "name=value" line each, as zdx-query --settings prints them.
std::string FormatSettingsReport(const Application& app);
