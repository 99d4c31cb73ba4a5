#pragma once
// Start-up that every front end shares: the program's own options (-f and -l), the activity
// log, and the settings read from the settings file or the profile store. A value the front end
// owns; no part of the program reaches it through a global.
#include "config/Settings.h"

#include <string>
#include <string_view>
#include <vector>

class ProfileSource;

// The three status panes other parts write to; the main window provides them.
class StatusPanes {
public:
    virtual ~StatusPanes() = default;
    virtual void SetStatusText(const std::string& text) = 0;
    virtual void SetAuthText(const std::string& text) = 0;
    virtual void SetHitCount(int count) = 0;
};

inline constexpr int kMaxArgs = 10;
inline constexpr std::size_t kMaxIniPathChars = 255;

class Application {
public:
    // The first ten argument tokens, as start-up keeps them.
    std::string m_args[kMaxArgs];
    std::string m_iniFile;
    int m_logEnabled = 0;
    // The program's arguments without the program name, as start-up is handed them.
    std::vector<std::string> m_cmdLine;
    // An -f path that was too long to use; start-up notes it in the log.
    std::string m_rejectedIniFile;
    // The settings in effect.
    Settings m_settings;

    // Takes -f and -l from the command line, turns the process's activity log on when asked
    // and reads every setting, from the settings file named by -f or else from the given
    // profile store.
    void StartUp(ProfileSource& profileStore);
};

// Takes the program's own options from the argument tokens: -f<path> (settings file) and
// -l (activity log). Only the first ten tokens are kept.
void ParseArguments(const std::vector<std::string>& tokens, Application& app);
