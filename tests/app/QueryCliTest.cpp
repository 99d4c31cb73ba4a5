// zdx-query against a real page served on 127.0.0.1.
#include "../support/RawServer.h"
#include "../support/SessionServer.h"
#include "../support/TestSupport.h"

#include <gtest/gtest.h>

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
                          "C%3A%5Cdocs%5Cq%202.pdf|Research Unit|123456\n"
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
    EXPECT_NE(r.err.find("2 documents found\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Sending request\n"), std::string::npos) << r.err;
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(request.substr(0, request.find("\r\n")),
              "GET /s?site=x&query0=annual%20report&index=mail;&date=-604800000 HTTP/1.1");
}

TEST_F(QueryCli, JsonRows) {
    RawServer server(RawServer::Reply(HttpResponse("200 OK", kPage)));
    const ProcessResult r = Run(server.Port(), {"--format", "json", "--filename", "*.pdf"},
                                "[List]\nColumns=3\nColumn0=0\nColumn1=1\nColumn2=6\n"
                                "Heading0=Title\nHeading1=Title\nHeading2=tip\n");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"hit\":17,\"Title\":\"Report\",\"column1\":\"88\",\"column2\":"
                     "\"C:\\\\docs\\\\q 2.pdf\",\"tip\":\"Quarterly figures\\u000d\\u000a2006-05-01"
                     "\\u000d\\u000aPDF\\u000d\\u000ax\\u000d\\u000a123456 bytes\\u000d\\u000a"
                     "C:\\\\docs\\\\q 2.pdf\"}\n"
                     "{\"hit\":4,\"Title\":\"Tab\\u0009here \\\"quoted\\\"\",\"column1\":\"12\","
                     "\"column2\":\"\",\"tip\":\"\\u000d\\u000a\\u000d\\u000a\\u000d\\u000a"
                     "\\u000d\\u000a bytes\\u000d\\u000a\"}\n");
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
    EXPECT_NE(r.err.find("Status Code 200 was returned.\n"), std::string::npos) << r.err;
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
        EXPECT_NE(r.err.find("usage: zdx-query"), std::string::npos);
    }
}

} // namespace
