#include "signin/LoginRequest.h"

#include "config/ProfileSource.h"
#include "net/FetchPage.h"
#include "search/ResultList.h"
#include "text/Codepage.h"
#include "text/SecureWipe.h"
#include "text/StringTable.h"

namespace {

void ShowStatus(StatusPanes& panes, int status) {
    panes.SetStatusText(StringPrintf(Text(TextId::StatusCode).c_str(), status));
}

// Parses the page for the request's sink, handing everything on, and notes the user the page
// reports.
class SignedInUserTap : public RequestSink {
public:
    explicit SignedInUserTap(RequestSink& inner) : m_inner(inner) {}
    std::string m_user;

    void ClearTips() override { m_inner.ClearTips(); }
    void Clear() override { m_inner.Clear(); }
    void AppendHit(HitRow&& hit) override { m_inner.AppendHit(std::move(hit)); }
    // A sign-in's page counts no search: the hits listed keep their count.
    void SetHitCount(int) override {}
    void SetSignedInUser(const std::string& user) override {
        m_user = user;
        m_inner.SetSignedInUser(user);
    }
    void ShowMessage(const std::string& text) override { m_inner.ShowMessage(text); }
    void SetStatusText(const std::string& text) override { m_inner.SetStatusText(text); }
    void SetAuthText(const std::string& text) override { m_inner.SetAuthText(text); }

private:
    RequestSink& m_inner;
};

} // namespace

LoginOutcome RunLogin(const std::string& user, const char* password, const Settings& settings,
                      RequestSink& sink, WritableProfileSource& store,
                      const RequestControl& control) {
    if (!PortUsable(settings.connection.port, sink))
        return {};
    std::string path = Utf8ToCp1252(settings.searchbase) + "&userid=" + Utf8ToCp1252(user) +
                       "&password=" + (password ? password : "");
    SignedInUserTap tap(sink);
    LoginOutcome outcome;
    // FetchPage takes the path by value: that copy is its own to drop.
    outcome.status = FetchPage(MakeFetchOptions(settings.connection, control, &sink), path, &tap);
    WipeString(path);
    if (outcome.status != kFetchCancelled) // a stopped sign-in has nothing to report
        ShowStatus(sink, outcome.status);
    outcome.confirmed = user == tap.m_user;
    if (outcome.confirmed)
        store.WriteString(kUserSection, kUserKey, user);
    return outcome;
}

int RunLogout(const Settings& settings, RequestSink& sink, const RequestControl& control) {
    if (!PortUsable(settings.connection.port, sink))
        return 0;
    const int status = FetchPage(MakeFetchOptions(settings.connection, control, &sink),
                                 Utf8ToCp1252(settings.searchbase) + "&logout", &sink);
    // A stopped logout says nothing: the user is still signed in, as the AUTH pane shows.
    if (status != 200 && status != kFetchCancelled)
        ShowStatus(sink, status);
    return status;
}
