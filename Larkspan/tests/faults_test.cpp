// Failures that a real server can't be made to produce on demand, injected
// through the POSIX layer one platform call at a time.
#include <Larkspan.h>
#include <winposix.h>

#include "download_harness.h"
#include "http_server.h"

#include <gtest/gtest.h>

namespace {

class InjectedFault : public ::testing::Test {
protected:
    void TearDown() override { WinPosix_SetFaults(nullptr); }

    Download WithFault(const char *rules, size_t bodySize = 100000)
    {
        body = PatternBody(bodySize, 11);
        server.Route("/file", Respond(200, body));
        EXPECT_TRUE(WinPosix_SetFaults(rules));
        Download download = RunDownload(server.Url("/file"), target);
        WinPosix_SetFaults(nullptr);
        return download;
    }

    TestHttpServer server;
    Scratch scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::string target = scratch.Path("download.bin");
    std::string body;
};

TEST_F(InjectedFault, SessionThatCannotOpenEndsAtOnce)
{
    Download download = WithFault("InternetOpenA@1=12004");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"InternetOpen Error: 2ee4"}), download.lines);
    EXPECT_FALSE(FileExists(target));
}

TEST_F(InjectedFault, HeadersThatCannotBeReadFailBeforeTheFile)
{
    // The first query only asks for the size; the second reads the headers.
    Download download = WithFault("HttpQueryInfoA@2=12150");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"HttpQueryInfo Error: 2f76"}), download.lines);
    EXPECT_FALSE(FileExists(target));
    EXPECT_EQ(0u, download.messages);
}

TEST_F(InjectedFault, ReadFailureKeepsTheBlocksWrittenSoFar)
{
    Download download = WithFault("InternetReadFile@3=12030");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"InternetReadFile Error: 2efe"}), ErrorLines(download));
    EXPECT_EQ(3u, download.messages);
    EXPECT_TRUE(ReadWholeFile(target) == body.substr(0, 64000));
}

TEST_F(InjectedFault, HtmlThenReadFailureIsAFailure)
{
    server.Route("/page", Respond(200, "<HTML>" + std::string(40000, ' ')));
    WinPosix_SetFaults("InternetReadFile@2=12031");
    Download download = RunDownload(server.Url("/page"), target);
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
}

TEST_F(InjectedFault, ClosingFailuresAreWrittenButDoNotChangeTheResult)
{
    Download download = WithFault("InternetCloseHandle@1-2=6");
    EXPECT_EQ(LARKSPAN_OK, download.result);
    EXPECT_EQ((std::vector<std::string>{"CloseHandle Error: 6", "CloseHandle Error: 6"}), ErrorLines(download));
    EXPECT_TRUE(ReadWholeFile(target) == body);
}

TEST_F(InjectedFault, WriteFailureStopsTheTransferAtOnce)
{
    Download download = WithFault("fwrite@2=112");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"fwrite Error: 70"}), ErrorLines(download));
    EXPECT_EQ(2u, download.messages);
}

TEST_F(InjectedFault, CloseFailureOfTheFileIsAFailure)
{
    Download download = WithFault("fclose@1=112");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{"fclose Error: 70"}), ErrorLines(download));
}

TEST_F(InjectedFault, NoMemoryForABufferIsAFailure)
{
    for (const char *rule : {"malloc@1=8", "malloc@3=8"}) {
        SCOPED_TRACE(rule);
        Download download = WithFault(rule);
        EXPECT_EQ(LARKSPAN_FAILED, download.result);
        EXPECT_EQ((std::vector<std::string>{"malloc Error: 8"}), ErrorLines(download));
    }
}

}  // namespace
