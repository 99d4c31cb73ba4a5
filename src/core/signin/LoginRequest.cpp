#include "signin/LoginRequest.h"

#include "config/Application.h"
#include "config/ProfileSource.h"
#include "net/FetchPage.h"
#include "search/QueryText.h"
#include "search/ResultList.h"
#include "text/Codepage.h"
#include "text/SecureWipe.h"
#include "text/StringTable.h"

namespace {
void ShowStatus(int status) {
    g_app.SetStatusText(StringPrintf(Text(TextId::StatusCode).c_str(), status));
}

} // namespace

LoginOutcome RunLogin(const std::string& user, const char* password, WritableProfileSource& store) {
    if (!PortUsable())
        return {};
    std::string path = Utf8ToCp1252(g_app.m_searchbase) + "&userid=" + Utf8ToCp1252(user) +
                       "&password=" + (password ? password : "");
    LoginOutcome outcome;
    // FetchPage takes the path by value: that copy is its own to drop.
    outcome.status = FetchPage(kAgentName, g_app.m_address, g_app.m_port, path, g_app.m_resultList);
    WipeString(path);
    ShowStatus(outcome.status);
    outcome.confirmed = user == g_app.m_userName;
    if (outcome.confirmed)
        store.WriteProfileString("Settings", "User", user);
    return outcome;
}

int RunLogout() {
    if (!PortUsable())
        return 0;
    const int status = FetchPage(kAgentName, g_app.m_address, g_app.m_port,
                                 Utf8ToCp1252(g_app.m_searchbase) + "&logout", g_app.m_resultList);
    if (status != 200)
        ShowStatus(status);
    return status;
}
