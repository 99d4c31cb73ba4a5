#include "frame/LoginRequest.h"

#include "app/Codepage.h"
#include "app/ProfileSource.h"
#include "app/ZDXApp.h"
#include "frame/PasswordCells.h"
#include "net/WebFile.h"
#include "res/StringTable.h"
#include "search/QueryText.h"

namespace {
void ShowStatus(int status) {
    theApp.SetStatusText(StringPrintf(LoadResString(IDS_STATUS_CODE).c_str(), status));
}
} // namespace

LoginOutcome RunLogin(const std::string& user, const char* password, IProfileStore& store) {
    std::string path = Utf8ToCp1252(theApp.m_searchbase) + "&userid=" + Utf8ToCp1252(user) +
                       "&password=" + (password ? password : "");
    LoginOutcome outcome;
    // GetWebFile takes the path by value: that copy is its own to drop.
    outcome.status = GetWebFile(kAgentName, theApp.m_address, theApp.m_port, path);
    WipeString(path);
    ShowStatus(outcome.status);
    outcome.confirmed = user == theApp.m_userName;
    if (outcome.confirmed)
        store.WriteProfileString("Settings", "User", user);
    return outcome;
}

int RunLogout() {
    const int status = GetWebFile(kAgentName, theApp.m_address, theApp.m_port,
                                  Utf8ToCp1252(theApp.m_searchbase) + "&logout");
    if (status != 200)
        ShowStatus(status);
    return status;
}
