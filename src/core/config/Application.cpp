#include "config/Application.h"

#include "config/SettingsFile.h"
#include "diag/ActivityLog.h"
#include "text/Codepage.h"
#include "text/Version.h"

#include <algorithm>

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

void Application::StartUp(ProfileSource& profileStore) {
    ParseArguments(m_cmdLine, *this);
    ActivityLog::Reset();
    Logger& log = ProcessLog();
    log = m_logEnabled ? Logger("zdx.log") : Logger();
    log.Write(std::string(" ") + kVersionText + " " + BuildDate() + " " + BuildTime(),
              "InitInstance()");
    if (!m_rejectedIniFile.empty())
        log.Write("Settings file path longer than 255 characters ignored:", m_rejectedIniFile);
    if (!m_iniFile.empty()) {
        log.Write("Settings read from", m_iniFile);
        SettingsFile file(m_iniFile);
        m_settings = LoadSettings(file, true, log);
    } else {
        log.Write("Settings read from the registry", "");
        m_settings = LoadSettings(profileStore, false, log);
    }
}
