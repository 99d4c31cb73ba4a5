// zdx-query against a real page served on 127.0.0.1.
#include "../support/RawServer.h"
#include "../support/SessionServer.h"
#include "../support/TestSupport.h"

#include <gtest/gtest.h>
#include <regex>
#include <thread>

namespace {

class QueryCli : public testing::Test {
protected:
    ProcessResult Run(int port, std::vector<std::string> args, const std::string& list = "",
                      const std::string& input = "") {
        const std::string ini =
            m_dir.Write("z.ini", "[Settings]\nAddress=127.0.0.1\nPort=" + std::to_string(port) +
                                     "\nSearchbase=s?site=x\n[Indexes]\nIndex1=mail\n" + list);
        args.insert(args.begin(), "-f" + ini);
        return RunProcess(
            ZDX_QUERY_BIN, args,
            {m_dir.Path().string(),
             {{"HOME", m_dir.Path().string()}, {"XDG_CONFIG_HOME", m_dir.File(".config")}},
             input});
    }
    TempDir m_dir;
};

const std::string kPage = "0|2|0||\n"
                          "17|Report|88|Quarterly figures|2006-05-01|PDF|x|y|z|"
                          "C%3A%5Cdocs%5Cq%202.pdf|Research Unit|123456|Quarterly figures\n"
                          "4|Tab\there \"quoted\"|12\n";

TEST_F(QueryCli, TsvRows) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", kPage)));
    const ProcessResult r = Run(server.Port(), {"--index", "1", "--date", "week", "annual report"},
                                "[List]\nColumns=3\nColumn0=0\nColumn1=6\nColumn2=1\n"
                                "Heading0=Title\nHeading1=Where\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Title\tWhere\t\n"
                     "Report\tC:\\docs\\q 2.pdf\t88\n"
                     "Tab here \"quoted\"\t\t12\n");
    EXPECT_EQ(r.err, "2 documents found\n"); // no connection texts unless asked for
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /s?site=x&query0=annual%20report&index=mail;&date=-604800000 HTTP/1.1");
}

TEST_F(QueryCli, JsonRows) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", kPage)));
    // After "--" the query may start with a dash.
    const ProcessResult r =
        Run(server.Port(), {"--format", "json", "--filename", "*.pdf", "--", "-draft"},
            "[List]\nColumns=3\nColumn0=0\nColumn1=1\nColumn2=6\n"
            "Heading0=Title\nHeading1=Title\nHeading2=tip\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"hit\":17,\"Title\":\"Report\",\"column1\":\"88\",\"column2\":"
                     "\"C:\\\\docs\\\\q 2.pdf\",\"tip\":\"Quarterly figures\\u000d\\u000a2006-05-01"
                     "\\u000d\\u000aPDF\\u000d\\u000ax\\u000d\\u000a123456 bytes\\u000d\\u000a"
                     "C:\\\\docs\\\\q 2.pdf\",\"matches\":[\"Quarterly\",\"figures\"]}\n"
                     "{\"hit\":4,\"Title\":\"Tab\\u0009here \\\"quoted\\\"\",\"column1\":\"12\","
                     "\"column2\":\"\",\"tip\":\"\\u000d\\u000a\\u000d\\u000a\\u000d\\u000a"
                     "\\u000d\\u000a bytes\\u000d\\u000a\",\"matches\":[]}\n");
    EXPECT_NE(server.Requests().at(0).find("query0=-draft&"), std::string::npos);
}

TEST_F(QueryCli, FailuresExitWithTheStatus) {
    RawServer server(RawServer::Reply(HttpResponse("503 Busy", "")));
    ProcessResult r = Run(server.Port(), {"x"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Status Code 503 was returned.\n"), std::string::npos) << r.err;

    r = Run(ClosedPort(), {"x"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Status Code 12029 was returned.\n"), std::string::npos) << r.err;

    RawServer refusing(RawServer::Reply(HttpResponse("200 OK", "-3|Index not available\n")));
    r = Run(refusing.Port(), {"--index", "1", "x"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.err.find("Index not available\n"), std::string::npos) << r.err;
}

TEST_F(QueryCli, SignInSearchAndSignOut) {
    SessionServer server;
    const ProcessResult r =
        Run(server.Port(), {"--user", "bob", "--password-stdin", "--logout", "q"},
            "[List]\nColumns=1\n", "s3cret\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "\nHit for bob\n"); // a settings file has no headings by default
    EXPECT_NE(r.err.find("Signed in: bob\n"), std::string::npos) << r.err;
    const auto paths = server.Paths();
    ASSERT_EQ(paths.size(), 3u);
    EXPECT_EQ(paths[0], "/s?site=x&userid=bob&password=s3cret");
    EXPECT_EQ(paths[1], "/s?site=x&query0=q");
    EXPECT_EQ(paths[2], "/s?site=x&logout");
    EXPECT_NE(TempDir::Read(m_dir.File(".config/Norvane/ZDX.conf")).find("User=bob"),
              std::string::npos);
}

TEST_F(QueryCli, FailedSignInStopsBeforeTheSearch) {
    SessionServer server;
    const ProcessResult r =
        Run(server.Port(), {"--user", "bob", "--password-stdin", "q"}, "", "wrong\r\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Login failed!\n"), std::string::npos) << r.err;
    EXPECT_EQ(server.Paths().size(), 1u);
    // A password Windows-1252 cannot hold is not sent at all.
    const ProcessResult omega =
        Run(server.Port(), {"--user", "bob", "--password-stdin", "q"}, "", "\xCE\xA9\n");
    EXPECT_EQ(omega.exitCode, 2);
    EXPECT_EQ(server.Paths().size(), 1u);
}

TEST_F(QueryCli, BadOptions) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--index", "5"},
                                                 {"--date", "decade"},
                                                 {"--format", "xml"},
                                                 {"--bogus"},
                                                 {"one", "two"},
                                                 {"--filename"},
                                                 {"--user", "bob"},
                                                 {"--password-stdin"}}) {
        const ProcessResult r = Run(ClosedPort(), args);
        EXPECT_EQ(r.exitCode, 2) << args[0];
        EXPECT_NE(r.err.find("Try 'zdx-query --help'"), std::string::npos) << r.err;
    }
}

TEST_F(QueryCli, HowMuchGoesToStandardError) {
    // A page of many summary lines, one message and a hit: the count is printed once, the last.
    std::string page = "-3|Index partly available\n";
    for (int i = 1; i <= 5000; ++i)
        page += "0|" + std::to_string(i) + "\n";
    page += "1|Hit|50\n";
    RawServer server(RawServer::Reply(HttpResponse("200 OK", page)));
    struct Case {
        const char* option;
        bool progress, count;
    } cases[] = {{nullptr, false, true}, {"-v", true, true}, {"--quiet", false, false}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"x"};
        if (c.option)
            args.push_back(c.option);
        const ProcessResult r = Run(server.Port(), args, "[List]\nColumns=1\n");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "\nHit\n");
        EXPECT_EQ(r.err.find("Sending request\n") != std::string::npos, c.progress) << r.err;
        EXPECT_EQ(r.err.find("5000 documents found\n") != std::string::npos, c.count) << r.err;
        EXPECT_EQ(r.err.find("documents found"), r.err.rfind("documents found"));
        EXPECT_EQ(r.err.find("Index partly available\n") != std::string::npos, c.count);
    }
    // Errors are printed however quiet.
    const ProcessResult failed = Run(ClosedPort(), {"-q", "x"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(failed.err, "Status Code 12029 was returned.\n");
}

TEST_F(QueryCli, ManyHitsStreamInPageOrder) {
    std::string page = "0|30000\n";
    for (int i = 0; i < 30000; ++i)
        page += std::to_string(i + 1) + "|Title " + std::to_string(i) + "|" +
                std::to_string(i % 100) + "\n";
    RawServer server(RawServer::Reply(HttpResponse("200 OK", page)));
    const ProcessResult r = Run(server.Port(), {"x"}, "[List]\nColumns=2\nColumn1=1\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::size_t lines = 0, at = 0;
    for (std::size_t nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1, ++lines) {
        const std::string want = lines == 0 ? "\t"
                                            : "Title " + std::to_string(lines - 1) + "\t" +
                                                  std::to_string((lines - 1) % 100);
        ASSERT_EQ(r.out.substr(at, nl - at), want);
    }
    EXPECT_EQ(lines, 30001u);
    EXPECT_EQ(at, r.out.size());
}

TEST_F(QueryCli, MaxTimeEndsATrickle) {
    // One byte a second: the idle limit never fires, the overall deadline does.
    RawServer trickle([](int socket, const std::string&, RawServer& self) {
        const std::string response = HttpResponse("200 OK", std::string(100, 'x'));
        for (char c : response) {
            if (!self.Send(socket, std::string_view(&c, 1)))
                return;
            for (int i = 0; i < 10 && !self.Stopping(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const ProcessResult r = Run(trickle.Port(), {"--max-time", "1.5", "x"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Status Code 12002 was returned.\n");
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(Run(trickle.Port(), {"--max-time", "0", "x"}).exitCode, 2);
}

TEST_F(QueryCli, RefusedBeforeAnythingIsSent) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", "")));
    struct Case {
        std::vector<std::string> args;
        std::string list, err;
    } cases[] = {
        {{"--index", "3", "x"}, "", "zdx-query: No index is set for box 3.\n"},
        {{"caf\xC3\xA9 \xCE\xA9mega"},
         "",
         "The search service cannot receive the character \xCE\xA9 (U+03A9). Please remove it.\n"},
        {{"--filename", "\xF0\x9F\x93\x84.txt", "x"},
         "",
         "The search service cannot receive the character \xF0\x9F\x93\x84 (U+1F4C4). Please "
         "remove it.\n"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = Run(server.Port(), c.args, c.list);
        EXPECT_EQ(r.exitCode, 2) << c.args[0];
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(server.Requests().size(), 0u);
    // An out-of-range port is named, not wrapped onto another port.
    const std::string ini = m_dir.Write("p.ini", "[Settings]\nPort=70000\n");
    const ProcessResult port =
        RunProcess(ZDX_QUERY_BIN, {"-f" + ini, "x"}, {m_dir.Path().string()});
    EXPECT_EQ(port.exitCode, 1);
    EXPECT_EQ(port.err,
              "The Port setting 70000 is not a TCP port. Please set a port from 0 to 65535.\n");
}

TEST_F(QueryCli, SettingsReportReadsSignsQuotesAndNul) {
    const std::string ini = m_dir.Write(
        "s.ini", std::string("[Settings]\nPort=\"\t8080\t\"\nSecure=+1\nIgnoreUnknownCa=-5\n"
                             "Address=a\0b\n[List]\nColumns=\" 2\"\nHeadingWidth0=-3\n",
                             103));
    const ProcessResult r = RunProcess(ZDX_QUERY_BIN, {"-f" + ini, "--settings"}, {});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    for (const char* line :
         {"Settings/Port=8080\n", "Settings/Secure=1\n", "Settings/IgnoreUnknownCa=-5\n",
          "Settings/Address=a\n", "List/Columns=2\n", "List/HeadingWidth0=0\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(r.out.find('\0'), std::string::npos);
}

TEST_F(QueryCli, OutputThatCannotBeWrittenFails) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", "1|Hit|50\n")));
    const std::string ini = m_dir.Write(
        "w.ini", "[Settings]\nAddress=127.0.0.1\nPort=" + std::to_string(server.Port()) + "\n");
    for (const char* args : {" x", " --settings"}) {
        const ProcessResult r = RunProcess(
            "/bin/sh", {"-c", std::string(ZDX_QUERY_BIN) + " -f" + ini + args + " >/dev/full"}, {});
        EXPECT_EQ(r.exitCode, 1) << args;
        EXPECT_NE(r.err.find("zdx-query: cannot write the output: No space left on device"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(QueryCli, HelpAndVersion) {
    const ProcessResult help = RunProcess(ZDX_QUERY_BIN, {"--help"}, {});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: zdx-query [OPTION]... [[--] QUERY]\n", 0), 0u);
    EXPECT_NE(help.out.find("--max-time SECONDS"), std::string::npos);
    for (const char* program : {ZDX_QUERY_BIN, ZDX_BIN, ZDX_SERVER_BIN}) {
        const ProcessResult version = RunProcess(program, {"--version"}, {});
        EXPECT_EQ(version.exitCode, 0) << program;
        EXPECT_TRUE(std::regex_match(version.out,
                                     std::regex(R"(zdx(-query|-server)? \(ZDX\) 1\.1\.0\.10\n)")))
            << version.out;
    }
}

} // namespace
