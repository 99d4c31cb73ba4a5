// FetchPage against real servers on 127.0.0.1: a raw socket server where the exact bytes
// matter, and cpp-httplib over HTTPS with certificates made for the test.
#include "net/FetchPage.h"
#include "config/Application.h"
#include "diag/ActivityLog.h"
#include "search/QueryText.h"
#include "search/ResultList.h"

#include "../core/TempDir.h"
#include "../support/RawServer.h"
#include "../support/TestCerts.h"

#include <httplib.h>

#include <chrono>
#include <gtest/gtest.h>
#include <netdb.h>

namespace {

// Records what the exchange does to the result list and the status panes.
class Recorder : public RequestSink {
public:
    std::vector<std::string> events; // "clear", "line <text>", "hit <n>", "count <n>", ...
    std::vector<std::string> status; // texts for pane 0
    std::size_t hits = 0;

    void ClearTips() override { events.push_back("clear"); }
    void Clear() override { events.push_back("delete"); }
    int ParseResultLine(std::string_view line) override {
        events.push_back("line " + std::string(line.substr(0, 100)));
        return ResultList::ParseResultLine(line);
    }
    void AppendHit(HitRow&& hit) override {
        ++hits;
        events.push_back("hit " + std::to_string(hit.number));
    }
    void SetHitCount(int count) override { events.push_back("count " + std::to_string(count)); }
    void SetSignedInUser(const std::string& user) override { events.push_back("user " + user); }
    void ShowMessage(const std::string& text) override { events.push_back("message " + text); }

    void SetStatusText(const std::string& text) override { status.push_back(text); }
    void SetAuthText(const std::string&) override {}
};

class Fetch : public testing::Test {
protected:
    void SetUp() override {
        m_settings.searchbase = DefaultSearchbase(false);
        m_control.timeouts.connectMs = 3000;
        m_control.timeouts.idleSeconds = 1;
    }
    void TearDown() override { ActivityLog::Reset(); }
    int Get(int port, const std::string& path, const std::string& host = "127.0.0.1") {
        ConnectionSettings connection = m_settings.connection;
        connection.address = host;
        connection.port = port;
        return FetchPage(MakeFetchOptions(connection, m_control, &m_recorder), path, &m_recorder);
    }
    int Search(const SearchRequest& form) {
        return RunSearch(form, m_settings, m_recorder, m_control);
    }
    bool Saw(const std::string& event) const {
        return std::find(m_recorder.events.begin(), m_recorder.events.end(), event) !=
               m_recorder.events.end();
    }

    Recorder m_recorder;
    Settings m_settings;
    RequestControl m_control;
};

std::string FirstLine(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

const std::string kOkPage = HttpResponse("200 OK", "0|1|0||\n5|Title\n");

TEST_F(Fetch, SearchRequestBytes) {
    RawServer server(RawServer::Reply(kOkPage));
    m_settings.connection.address = "127.0.0.1";
    m_settings.connection.port = server.Port();
    m_settings.index[0] = "docs";
    SearchRequest form;
    form.query = "a b=c#d&e\tf\xC3\xA4";
    form.filename = "*.pdf x";
    form.ticked[0] = true;
    form.dateSeconds = -604800;
    ASSERT_EQ(Search(form), 200);
    form = SearchRequest();
    form.query = std::string(75, 'x');
    ASSERT_EQ(Search(form), 200);

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string base = "/lvsearch/SearchServlet?site=localhost&theme=zdx&template="
                             "PlainTemplate.html&numhits=999";
    EXPECT_EQ(FirstLine(requests[0]), "GET " + base +
                                          "&query0=a%20b%3Dc%23d&e%09f%E4&filefilter=*.pdf%20x"
                                          "&index=docs;&date=-604800000 HTTP/1.1");
    EXPECT_EQ(FirstLine(requests[1]), "GET " + base + "&query0=" + std::string(70, 'x') +
                                          "=%0D%0A" + std::string(5, 'x') + " HTTP/1.1");
    const std::string& r = requests[0];
    EXPECT_NE(r.find("\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(r.find("\r\nAccept: audio/x-aiff, audio/basic, audio/midi, audio/mpeg, audio/wav, "
                     "image/jpeg, image/gif, image/jpg, image/png, image/mng, image/bmp, "
                     "text/plain, text/html, text/htm\r\n"),
              std::string::npos);
    EXPECT_NE(r.find("\r\nUser-Agent: Lurvik Retreiever/1.0\r\n"), std::string::npos);
    EXPECT_EQ(Count(r, "User-Agent:"), 1);
    EXPECT_EQ(Count(r, "Accept:"), 1);
    EXPECT_EQ(Count(r, "Accept-Encoding"), 0);
    EXPECT_TRUE(Saw("delete"));
    EXPECT_TRUE(Saw("hit 5"));
}

TEST_F(Fetch, RefusedEndingsMakeNoConnection) {
    RawServer server(RawServer::Reply(kOkPage));
    for (const char* path : {"s?a=1&x=dll", "prog.exe", "x.com", "y.bat", "z.sys", "w.inf", "bat"})
        EXPECT_EQ(Get(server.Port(), path), 0) << path;
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_TRUE(m_recorder.status.empty());
    EXPECT_EQ(Get(server.Port(), "prog.EXE"), 200); // the test is case-sensitive
}

TEST_F(Fetch, Status401IsNotParsed) {
    RawServer server(RawServer::Reply(HttpResponse("401 Unauthorized", "0|5|1||x\n7|T\n")));
    EXPECT_EQ(Get(server.Port(), "s"), 401);
    EXPECT_FALSE(Saw("clear"));
    EXPECT_EQ(m_recorder.hits, 0u);
}

TEST_F(Fetch, BodyLines) {
    RawServer server(
        RawServer::Reply(HttpResponse("200 OK", "0|3|1|x|guest\r\n\r\n\n5|T\r\n<html>\r\n6|last")));
    EXPECT_EQ(Get(server.Port(), "s"), 200);
    EXPECT_EQ(m_recorder.events, (std::vector<std::string>{
                                     "clear", "line 0|3|1|x|guest\r", "count 3", "user guest\r",
                                     // a lone CR is a line, not an empty one
                                     "line \r", "count 0", "user ", "line 5|T\r", "hit 5",
                                     "line <html>\r", "count 0", "user ", "line 6|last", "hit 6"}));
}

TEST_F(Fetch, HtmlPageStopsAfterItsFirstLine) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", "<html>\n5|T\n")));
    EXPECT_EQ(Get(server.Port(), "s"), 200);
    EXPECT_EQ(m_recorder.events, (std::vector<std::string>{"clear", "line <html>", "count 0"}));
}

TEST_F(Fetch, EmptyBodyStillEmptiesTheTips) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", "")));
    EXPECT_EQ(Get(server.Port(), "s"), 200);
    EXPECT_EQ(m_recorder.events, (std::vector<std::string>{"clear"}));
}

TEST_F(Fetch, StatusTextsInOrder) {
    RawServer server(RawServer::Reply(kOkPage));
    EXPECT_EQ(Get(server.Port(), "s"), 200);
    EXPECT_EQ(m_recorder.status,
              (std::vector<std::string>{
                  "Handle created", "Resolving name 127.0.0.1", "Name resolved 127.0.0.1",
                  "Connecting to socket address", "Connected to socket address", "Sending request",
                  "Request sent", "Response received", "Closing the connection to the server",
                  "Connection to the server closed"}));
}

TEST_F(Fetch, OneRedirectIsFollowedWithTheAcceptHeaderOnly) {
    RawServer target(RawServer::Reply(kOkPage));
    RawServer first(RawServer::Reply(HttpResponse(
        "302 Found", "",
        "Location: http://127.0.0.1:" + std::to_string(target.Port()) + "/x?y=1\r\n")));
    EXPECT_EQ(Get(first.Port(), "s"), 200);
    ASSERT_EQ(target.Requests().size(), 1u);
    const std::string r = target.Requests()[0];
    EXPECT_EQ(FirstLine(r), "GET /x?y=1 HTTP/1.1");
    EXPECT_NE(r.find("\r\nUser-Agent: LurvikRetriever\r\n"), std::string::npos);
    EXPECT_NE(r.find("\r\nAccept: audio/x-aiff,"), std::string::npos);
    EXPECT_TRUE(Saw("hit 5"));
    EXPECT_NE(std::find(m_recorder.status.begin(), m_recorder.status.end(), "Being redirected"),
              m_recorder.status.end());
}

TEST_F(Fetch, RedirectsThatAreNotFollowed) {
    RawServer target(RawServer::Reply(kOkPage));
    const std::string there = "http://127.0.0.1:" + std::to_string(target.Port()) + "/t";
    struct Case {
        std::string status, headers;
        int result;
    } cases[] = {
        {"302 Found", "Location: /relative\r\n", 0},
        {"302 Found", "", 0},
        {"301 Moved", "location: " + there + "\r\n", 0}, // the search is case-sensitive
        {"303 See Other", "Location: ftp://127.0.0.1/t\r\n", 0},
        {"304 Not Modified", "Location: " + there + "\r\n", 304},
        {"307 Temporary Redirect", "Location: " + there + "\r\n", 307},
    };
    for (const auto& c : cases) {
        RawServer first(RawServer::Reply(HttpResponse(c.status, "", c.headers)));
        EXPECT_EQ(Get(first.Port(), "s"), c.result) << c.status << " " << c.headers;
    }
    EXPECT_EQ(target.Connections(), 0);
}

TEST_F(Fetch, RedirectEdgeCases) {
    RawServer target(RawServer::Reply(kOkPage));
    const std::string there = "http://127.0.0.1:" + std::to_string(target.Port());
    // Content-Location standing first is taken for the Location.
    RawServer content(RawServer::Reply(HttpResponse(
        "302 Found", "", "Content-Location: " + there + "/c\r\nLocation: " + there + "/l\r\n")));
    EXPECT_EQ(Get(content.Port(), "s"), 200);
    // A CR inside the Location ends the URL there.
    RawServer cr(
        RawServer::Reply(HttpResponse("302 Found", "", "Location: " + there + "/a\rb\r\n")));
    EXPECT_EQ(Get(cr.Port(), "s"), 200);
    ASSERT_EQ(target.Requests().size(), 2u);
    EXPECT_EQ(FirstLine(target.Requests()[0]), "GET /c HTTP/1.1");
    EXPECT_EQ(FirstLine(target.Requests()[1]), "GET /a HTTP/1.1");

    // A redirect to itself is followed once; the second 302 is returned.
    std::string selfLocation;
    RawServer self([&selfLocation](int socket, const std::string&, RawServer& s) {
        s.Send(socket, HttpResponse("302 Found", "", "Location: " + selfLocation + "\r\n"));
    });
    selfLocation = "http://127.0.0.1:" + std::to_string(self.Port()) + "/again";
    EXPECT_EQ(Get(self.Port(), "s"), 302);
    EXPECT_EQ(self.Connections(), 2);
}

TEST_F(Fetch, CookiesLastForTheRun) {
    // Cookies stay for the whole run, so each run of this test sets a cookie of its own.
    static int run = 0;
    const std::string cookie = "zdxsession" + std::to_string(++run) + "=abc123";
    RawServer server(RawServer::Reply(
        HttpResponse("200 OK", "0|0|1||u\n", "Set-Cookie: " + cookie + "; Path=/\r\n")));
    EXPECT_EQ(Get(server.Port(), "login"), 200);
    EXPECT_EQ(Get(server.Port(), "search"), 200);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].find(cookie), std::string::npos);
    EXPECT_NE(requests[1].find(cookie), std::string::npos) << requests[1];
}

TEST_F(Fetch, ProxyVariablesAreHonoured) {
    // The proxy on 127.0.0.1 gets the request with the whole address; no name is resolved.
    RawServer proxy(RawServer::Reply(HttpResponse("200 OK", "0|4|0||\n")));
    setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    const int status = Get(8080, "lvsearch/s?query0=x", "search.example");
    unsetenv("http_proxy");
    EXPECT_EQ(status, 200);
    ASSERT_EQ(proxy.Requests().size(), 1u);
    const std::string request = proxy.Requests()[0];
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET http://search.example:8080/lvsearch/s?query0=x HTTP/1.1");
}

TEST_F(Fetch, ConnectionFailures) {
    EXPECT_EQ(Get(ClosedPort(), "s"), 12029);

    RawServer silent([](int, const std::string&, RawServer& s) {
        while (!s.Stopping())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(silent.Port(), "s"), 12002);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    RawServer hangUp([](int, const std::string&, RawServer&) {});
    EXPECT_EQ(Get(hangUp.Port(), "s"), 12030);

    RawServer broken(RawServer::Reply("HTTX/1.1 200 OK\r\n\r\n0|1|0||\n"));
    EXPECT_EQ(Get(broken.Port(), "s"), 12152);
}

TEST_F(Fetch, UnresolvableHost) {
    // Only where the resolver answers at once; a resolver that waits would test the time-out.
    const auto start = std::chrono::steady_clock::now();
    addrinfo* info = nullptr;
    const int rc = getaddrinfo("nonexistent.invalid", "80", nullptr, &info);
    if (info)
        freeaddrinfo(info);
    if (rc == 0 || std::chrono::steady_clock::now() - start > std::chrono::seconds(1))
        GTEST_SKIP() << "the resolver here does not fail fast";
    EXPECT_EQ(Get(80, "s", "nonexistent.invalid"), 12007);
    ASSERT_FALSE(m_recorder.status.empty());
    EXPECT_EQ(m_recorder.status[1], "Resolving name nonexistent.invalid");
}

TEST_F(Fetch, HostileBodies) {
    // An endless line: cut at 64 MiB, and the read ends at 256 MiB.
    RawServer endless([](int socket, const std::string&, RawServer& s) {
        s.Send(socket, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n0|2|0||\n");
        const std::string chunk(1 << 20, 'x');
        while (s.Send(socket, chunk)) {
        }
    });
    EXPECT_EQ(Get(endless.Port(), "s"), 12004);
    EXPECT_TRUE(Saw("count 2")); // what was read before stays

    // A 200 MB line is cut at 64 MiB and the page goes on after it.
    RawServer longLine([](int socket, const std::string&, RawServer& s) {
        s.Send(socket, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n5|");
        const std::string chunk(1 << 20, 'y');
        for (int i = 0; i < 200; ++i)
            s.Send(socket, chunk);
        s.Send(socket, "\n0|7|0||\n");
    });
    m_recorder.events.clear();
    EXPECT_EQ(Get(longLine.Port(), "s"), 200);
    EXPECT_TRUE(Saw("hit 5"));
    EXPECT_TRUE(Saw("count 7"));

    // 200 KB of headers are read; a megabyte is refused with a failure number.
    std::string many;
    for (int i = 0; i < 3500; ++i)
        many += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'h') + "\r\n";
    RawServer headers(RawServer::Reply(HttpResponse("200 OK", "0|4|0||\n", many)));
    m_recorder.events.clear();
    EXPECT_EQ(Get(headers.Port(), "s"), 200);
    EXPECT_TRUE(Saw("count 4"));
    for (const std::string& huge :
         {"X-Giant: " + std::string(1 << 20, 'g') + "\r\n", many + many + many + many + many}) {
        RawServer giant(RawServer::Reply(HttpResponse("200 OK", "0|4|0||\n", huge)));
        m_recorder.events.clear();
        EXPECT_GE(Get(giant.Port(), "s"), 12000);
        EXPECT_FALSE(Saw("count 4"));
    }
}

TEST_F(Fetch, LogHidesThePasswordAndCutsLongPaths) {
    TempDir dir;
    m_control.log = Logger(dir.File("zdx.log"));
    ActivityLog::Reset();
    RawServer server(
        RawServer::Reply(HttpResponse("200 OK", "0|0|1||bob\n" + std::string(6000, 'z') + "\n")));
    EXPECT_EQ(Get(server.Port(), "S&userid=bob&password=s3cret&x"), 200);
    EXPECT_EQ(Get(server.Port(), "S&" + std::string(300, 'q')), 200);
    const std::string log = TempDir::Read(dir.File("zdx.log"));
    EXPECT_EQ(log.find("s3cret"), std::string::npos);
    EXPECT_NE(log.find(" GetWebFile() LurvikRetriever\n"), std::string::npos);
    EXPECT_NE(log.find(" 127.0.0.1 S&userid=bob&password=\n"), std::string::npos);
    EXPECT_NE(log.find(" 127.0.0.1 S&" + std::string(253, 'q') + "\n"), std::string::npos);
    EXPECT_NE(log.find(" GetWebFile() returned 200\n"), std::string::npos);
    EXPECT_NE(log.find(" 0|0|1||bob \n"), std::string::npos);
    EXPECT_NE(log.find(" " + std::string(4900, 'z') + " \n"), std::string::npos);
    EXPECT_EQ(log.find(std::string(4901, 'z')), std::string::npos);
}

class SecureFetch : public Fetch {
protected:
    // An HTTPS server with the given certificate; answers one page.
    void Serve(const CertFiles& cert) {
        m_server =
            std::make_unique<httplib::SSLServer>(cert.certPath.c_str(), cert.keyPath.c_str());
        m_server->Get("/s", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("0|9|0||\n", "text/plain");
        });
        m_port = m_server->bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server->listen_after_bind(); });
        while (!m_server->is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        m_settings.connection.secure = 1;
    }
    void TearDown() override {
        if (m_server)
            m_server->stop();
        if (m_thread.joinable())
            m_thread.join();
        Fetch::TearDown();
    }
    TempDir m_dir;
    std::unique_ptr<httplib::SSLServer> m_server;
    std::thread m_thread;
    int m_port = 0;
};

TEST_F(SecureFetch, SelfSignedCertificateNeedsIgnoreUnknownCa) {
    Serve(MakeSelfSignedCert(m_dir.Path().string(), "ok", "DNS:localhost,IP:127.0.0.1"));
    EXPECT_EQ(Get(m_port, "s"), 12045);
    m_settings.connection.ignoreCertCnInvalid = 1;
    EXPECT_EQ(Get(m_port, "s"), 12045); // the other relaxations do not help
    m_settings.connection.ignoreCertCnInvalid = 0;
    m_settings.connection.ignoreUnknownCa = 1;
    EXPECT_EQ(Get(m_port, "s"), 200);
    EXPECT_TRUE(Saw("count 9"));
}

TEST_F(SecureFetch, NameMismatchNeedsIgnoreCertCnInvalid) {
    Serve(MakeSelfSignedCert(m_dir.Path().string(), "other", "DNS:other.example"));
    m_settings.connection.ignoreUnknownCa = 1;
    EXPECT_EQ(Get(m_port, "s"), 12038);
    m_settings.connection.ignoreCertCnInvalid = 1;
    EXPECT_EQ(Get(m_port, "s"), 200);
}

TEST_F(SecureFetch, ExpiredCertificateIsAlwaysRefused) {
    Serve(MakeSelfSignedCert(m_dir.Path().string(), "old", "IP:127.0.0.1", -30, -1));
    m_settings.connection.ignoreUnknownCa = 1;
    m_settings.connection.ignoreCertCnInvalid = 1;
    m_settings.connection.ignoreRevocation = 1;
    EXPECT_EQ(Get(m_port, "s"), 12037);
}

TEST_F(SecureFetch, PlainHttpToAnHttpsServerFails) {
    Serve(MakeSelfSignedCert(m_dir.Path().string(), "ok", "IP:127.0.0.1"));
    m_settings.connection.secure = 2;                     // only 1 means secure
    EXPECT_EQ(Get(m_port, "s"), kErrorConnectionAborted); // the TLS server hangs up
}

TEST_F(SecureFetch, RedirectBetweenSecureServersStaysSecure) {
    const CertFiles cert = MakeSelfSignedCert(m_dir.Path().string(), "ok", "IP:127.0.0.1");
    Serve(cert);
    httplib::SSLServer first(cert.certPath.c_str(), cert.keyPath.c_str());
    const std::string target = "https://127.0.0.1:" + std::to_string(m_port) + "/s";
    first.Get("/start", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(target, 302);
    });
    const int port = first.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { first.listen_after_bind(); });
    while (!first.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    m_settings.connection.ignoreUnknownCa = 1;
    EXPECT_EQ(Get(port, "start"), 200);
    EXPECT_TRUE(Saw("count 9")); // the page of the second server, fetched over TLS
    first.stop();
    thread.join();
}

} // namespace
