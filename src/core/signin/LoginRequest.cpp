#include "signin/LoginRequest.h"

#include "config/ProfileSource.h"
#include "net/FetchPage.h"
#include "search/QueryText.h"
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
    // The password field holds Windows-1252 bytes; sent as UTF-8 when texts travel so.
    const ConnectionSettings& c = settings.connection;
    std::string clear = password ? password : "";
    if (c.SendsUtf8()) {
        std::string utf8 = Cp1252ToUtf8(clear);
        WipeString(clear);
        clear.swap(utf8);
    }
    std::string path = WireText(settings.searchbase, c) + CharsetParameter(c) +
                       "&userid=" + WireText(user, c) + "&password=" + clear;
    WipeString(clear);
    SignedInUserTap tap(sink);
    tap.SetPageCharset(c.SendsUtf8() ? PageCharset::Utf8 : PageCharset::Windows1252);
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
    const ConnectionSettings& c = settings.connection;
    sink.SetPageCharset(c.SendsUtf8() ? PageCharset::Utf8 : PageCharset::Windows1252);
    const int status =
        FetchPage(MakeFetchOptions(c, control, &sink),
                  WireText(settings.searchbase, c) + CharsetParameter(c) + "&logout", &sink);
    // A stopped logout says nothing: the user is still signed in, as the AUTH pane shows.
    if (status != 200 && status != kFetchCancelled)
        ShowStatus(sink, status);
    return status;
}
