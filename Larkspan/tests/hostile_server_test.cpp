// Servers that misbehave. Every one must end in a failure and never in a file
// that passes for a good download; a slow but honest one must succeed.
#include <Larkspan.h>

#include "download_harness.h"
#include "http_server.h"
#include "test_name.h"

#include "process.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifndef _WIN32
#include <winposix.h>
#endif

namespace {

class HostileServer : public ::testing::Test {
protected:
    TestHttpServer server;
    Scratch scratch{TestName()};
    std::string target = scratch.Path("download.bin");

    void ExpectFailureWithoutFile(const std::string &url)
    {
        Download download = RunDownload(url, target);
        EXPECT_EQ(LARKSPAN_FAILED, download.result) << url;
        EXPECT_FALSE(ErrorLines(download).empty());
        EXPECT_FALSE(FileExists(target)) << url;
    }
};

TEST_F(HostileServer, MalformedUrlsFail)
{
    std::string port = std::to_string(server.Port());
    for (std::string url : {"127.0.0.1:" + port + "/file", "ftp://127.0.0.1:" + port + "/file",
                            "http://127.0.0.1:" + port + "/a file with spaces",
                            "http://127.0.0.1:" + port + "/\x01\x02\n", std::string("http://"), std::string("")}) {
        SCOPED_TRACE(url);
        ExpectFailureWithoutFile(url);
    }
}

TEST_F(HostileServer, GarbageInsteadOfAStatusLineFails)
{
    server.Route("/garbage", [](Connection &connection, const HttpRequest &) {
        connection.Send("SPAM SPAM SPAM\r\nContent-Length: 5\r\n\r\nhello");
    });
    ExpectFailureWithoutFile(server.Url("/garbage"));
}

TEST_F(HostileServer, EmptyReplyFails)
{
    server.Route("/nothing", [](Connection &, const HttpRequest &) {});
    ExpectFailureWithoutFile(server.Url("/nothing"));
}

TEST_F(HostileServer, SlowDripStillArrivesWhole)
{
    std::string body = PatternBody(300, 21);
    server.Route("/drip", RespondInPieces(body, 1, 3));
    Download download = RunDownload(server.Url("/drip"), target);
    EXPECT_EQ(LARKSPAN_OK, download.result);
    EXPECT_EQ(2u, download.messages);
    EXPECT_TRUE(ReadWholeFile(target) == body);
}

#ifdef _WIN32

// CTest runs the HTTPS server around the Windows suite (a Windows program
// can't start it) and names its folder, where it writes its port.
TEST_F(HostileServer, CertificateNobodyTrustsFails)
{
    const char *folder = getenv("LARKSPAN_TLS_SERVER");
    if (!folder) GTEST_SKIP() << "no HTTPS server (run through CTest)";
    std::string port = ReadWholeFile(std::string(folder) + "\\port");
    ASSERT_FALSE(port.empty());
    Download download = RunDownload("https://127.0.0.1:" + port + "/file", target);
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    ASSERT_EQ(1u, download.lines.size());
    EXPECT_EQ(0u, download.lines[0].find("InternetOpenUrl Error: ")) << download.lines[0];
    EXPECT_FALSE(FileExists(target));
}

#else

// The layer's time-outs, shortened for these cases (Wine's WinINet keeps
// its own, of tens of seconds).
class StallingServer : public HostileServer {
protected:
    void SetUp() override { WinPosix_SetInternetTimeouts(2000, 400); }
    void TearDown() override { WinPosix_SetInternetTimeouts(60000, 30000); }
};

TEST_F(StallingServer, ServerThatNeverAnswersTimesOut)
{
    server.Route("/silent", [](Connection &, const HttpRequest &) { PauseMs(1500); });
    Download download = RunDownload(server.Url("/silent"), target);
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"InternetOpenUrl Error: 2ee2"}), download.lines);
    EXPECT_FALSE(FileExists(target));
}

TEST_F(StallingServer, ServerThatStallsMidBodyTimesOut)
{
    std::string body = PatternBody(100000, 4);
    server.Route("/stall", [body](Connection &connection, const HttpRequest &) {
        connection.Send(StatusLine(200) + "Content-Length: 100000\r\n\r\n" + body.substr(0, 40000));
        PauseMs(1500);
    });
    Download download = RunDownload(server.Url("/stall"), target);
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"InternetReadFile Error: 2ee2"}), ErrorLines(download));
    // What arrived before the stall is kept: a full block and part of the next.
    EXPECT_TRUE(ReadWholeFile(target) == body.substr(0, 40000));
}

TEST_F(HostileServer, HugeHeaderBlockIsRefused)
{
    server.Route("/headers", [](Connection &connection, const HttpRequest &) {
        std::string headers;
        for (int i = 0; headers.size() < (1 << 20); i++) headers += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'f') + "\r\n";
        connection.Send(StatusLine(200) + headers + "Content-Length: 5\r\n\r\nhello");
    });
    ExpectFailureWithoutFile(server.Url("/headers"));
}

TEST_F(HostileServer, RedirectToAnotherSchemeIsRefused)
{
    server.Route("/to-ftp", Redirect(302, "ftp://127.0.0.1/file"));
    ExpectFailureWithoutFile(server.Url("/to-ftp"));
}

// An HTTPS server whose certificate nobody trusts, unless a test adds it
// to the layer's authorities.
class SecureServer : public HostileServer {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StartProgram(&process, "/usr/bin/python3", {LARKSPAN_TEST_TOOLS "/tls_server.py", scratch.Folder()}, ""));
        std::string portFile = scratch.Path("port");
        for (int wait = 0; wait < 1000 && !FileExists(portFile); wait++) PauseMs(10);
        ASSERT_TRUE(FileExists(portFile)) << "the HTTPS server did not start";
        base = "https://127.0.0.1:" + ReadWholeFile(portFile);
        target = scratch.Path("secure.bin");
    }
    void TearDown() override
    {
        unsetenv("WINPOSIX_CA_FILE");
        KillProgram(process);
    }
    Process process;
    std::string base;
};

TEST_F(SecureServer, CertificateNobodyTrustsFails)
{
    Download download = RunDownload(base + "/file", target);
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"InternetOpenUrl Error: 2f0d"}), download.lines);  // 12045: unknown authority
    EXPECT_FALSE(FileExists(target));
}

TEST_F(SecureServer, TrustedCertificateWorksButNeverDowngradesToPlainHttp)
{
    setenv("WINPOSIX_CA_FILE", scratch.Path("cert.pem").c_str(), 1);
    Download secure = RunDownload(base + "/file", target);
    EXPECT_EQ(LARKSPAN_OK, secure.result);
    EXPECT_EQ("secure body\n", ReadWholeFile(target));

    server.Route("/plain", Respond(200, "plain body\n"));
    std::string plainTarget = scratch.Path("plain.bin");
    Download downgraded = RunDownload(base + "/redirect?to=" + server.Url("/plain"), plainTarget);
    EXPECT_EQ(LARKSPAN_FAILED, downgraded.result);
    EXPECT_EQ((std::vector<std::string>{"InternetOpenUrl Error: 2f08"}), downgraded.lines);  // 12040
    EXPECT_FALSE(FileExists(plainTarget));
    EXPECT_TRUE(server.Requests().empty()) << "a request went out over plain HTTP";
}

#endif

}  // namespace
