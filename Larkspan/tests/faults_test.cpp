// Failures that a real server can't be made to produce on demand, injected
// through the POSIX layer one platform call at a time.
#include <Larkspan.h>
#include <winposix.h>

#include "download_harness.h"
#include "fault_rules.h"
#include "http_server.h"
#include "test_name.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

namespace {

class InjectedFault : public ::testing::Test {
protected:
    void TearDown() override { SetFaultRules(nullptr); }

    Download WithFault(const char *rules, size_t bodySize = 100000)
    {
        body = PatternBody(bodySize, 11);
        server.Route("/file", Respond(200, body));
        EXPECT_TRUE(SetFaultRules(rules));
        Download download = RunDownload(server.Url("/file"), target);
        SetFaultRules(nullptr);
        return download;
    }

    TestHttpServer server;
    Scratch scratch{TestName()};
    std::string target = scratch.Path("download.bin");
    std::string body;
};

TEST_F(InjectedFault, SessionThatCannotOpenEndsAtOnce)
{
    Download download = WithFault("InternetOpenA@1=12004");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_OPEN ": 2ee4"}), download.lines);
    EXPECT_FALSE(FileExists(target));
}

TEST_F(InjectedFault, HeadersThatCannotBeReadFailBeforeTheFile)
{
    // The first query only asks for the size; the second reads the headers.
    // Either failing is reported with its own cause.
    for (const char *rule : {"HttpQueryInfoA@1=12150", "HttpQueryInfoA@2=12150"}) {
        SCOPED_TRACE(rule);
        Download download = WithFault(rule);
        EXPECT_EQ(LARKSPAN_FAILED, download.result);
        EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_QUERY ": 2f76"}), download.lines);
        EXPECT_FALSE(FileExists(target));
        EXPECT_EQ(0u, download.messages);
    }
}

TEST_F(InjectedFault, ReadFailureKeepsTheBlocksWrittenSoFar)
{
    Download download = WithFault("InternetReadFile@3=12030");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_READ ": 2efe"}), ErrorLines(download));
    EXPECT_EQ(3u, download.messages);
    EXPECT_TRUE(ReadWholeFile(target) == body.substr(0, 64000));
}

TEST_F(InjectedFault, HtmlThenReadFailureIsAFailure)
{
    server.Route("/page", Respond(200, "<HTML>" + std::string(40000, ' ')));
    SetFaultRules("InternetReadFile@2=12031");
    Download download = RunDownload(server.Url("/page"), target);
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
}

TEST_F(InjectedFault, ClosingFailuresAreWrittenButDoNotChangeTheResult)
{
    Download download = WithFault("InternetCloseHandle@1-2=6");
    EXPECT_EQ(LARKSPAN_OK, download.result);
    EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_CLOSE ": 6", LARKSPAN_LABEL_CLOSE ": 6"}), ErrorLines(download));
    EXPECT_TRUE(ReadWholeFile(target) == body);
}

TEST_F(InjectedFault, WriteFailureStopsTheTransferAtOnce)
{
    Download download = WithFault("fwrite@2=112");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_WRITE ": 70"}), ErrorLines(download));
    EXPECT_EQ(2u, download.messages);
}

TEST_F(InjectedFault, CloseFailureOfTheFileIsAFailure)
{
    Download download = WithFault("fclose@1=112");
    EXPECT_EQ(LARKSPAN_FAILED, download.result);
    EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_CLOSE_FILE ": 70"}), ErrorLines(download));
}

TEST_F(InjectedFault, NoMemoryForABufferIsAFailure)
{
    for (const char *rule : {"malloc@1=8", "malloc@3=8"}) {
        SCOPED_TRACE(rule);
        Download download = WithFault(rule);
        EXPECT_EQ(LARKSPAN_FAILED, download.result);
        EXPECT_EQ((std::vector<std::string>{LARKSPAN_LABEL_MEMORY ": 8"}), ErrorLines(download));
    }
}

// An observer of the debugger output runs with no lock of the layer's held:
// it may write debugger output itself and replace the observer.
void ReenteringObserver(void *context, const char *text)
{
    std::vector<std::string> *seen = (std::vector<std::string> *)context;
    seen->push_back(text);
    if (seen->size() == 1) {
        OutputDebugStringA("from inside");
        WinPosix_SetDebugObserver(ReenteringObserver, context);
    }
}

TEST(DebugOutput, ObserverMayWriteAndReplaceTheObserver)
{
    std::vector<std::string> seen;
    WinPosix_SetDebugObserver(ReenteringObserver, &seen);
    OutputDebugStringA("first");
    OutputDebugStringA("second");
    RestoreDebugWatch();
    EXPECT_EQ((std::vector<std::string>{"first", "from inside", "second"}), seen);
}

}  // namespace

namespace {

size_t OpenDescriptors()
{
    size_t count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        count++;
    return count;
}

// The test server shares this process: its side of a connection may take a
// moment to close after the client's.
bool DescriptorsReturnTo(size_t expected)
{
    for (int wait = 0; wait < 200; wait++) {
        if (OpenDescriptors() <= expected) return true;
        PauseMs(10);
    }
    return false;
}

struct Step {
    const char *function;
    const char *line;  // the failure's line: the label and the code
};

// Every platform call a download makes fails in turn, one per download. Each
// must end in the result and debugger line that call's failure earns, with
// every handle and file closed.
TEST(FaultWalk, EveryPlatformCallOfADownloadFailsInTurn)
{
    const Step steps[] = {
        {"InternetOpenA", LARKSPAN_LABEL_OPEN ": 1f"},
        {"InternetOpenUrlA", LARKSPAN_LABEL_OPEN_URL ": 1f"},
        {"HttpQueryInfoA", LARKSPAN_LABEL_QUERY ": 1f"},
        {"InternetReadFile", LARKSPAN_LABEL_READ ": 1f"},
        {"InternetCloseHandle", LARKSPAN_LABEL_CLOSE ": 1f"},
        {"fopen", LARKSPAN_LABEL_FILE ": 1f"},
        {"fwrite", LARKSPAN_LABEL_WRITE ": 1f"},
        {"fflush", LARKSPAN_LABEL_FLUSH ": 1f"},
        {"fclose", LARKSPAN_LABEL_CLOSE_FILE ": 1f"},
        {"malloc", LARKSPAN_LABEL_MEMORY ": 8"},  // whatever failed it: a buffer not had
    };
    TestHttpServer server;
    Scratch scratch("FaultWalk");
    std::string body = PatternBody(70000, 12), target = scratch.Path("walk.bin");
    server.Route("/walk", Respond(200, body));

    ASSERT_TRUE(SetFaultRules(""));
    ASSERT_EQ(LARKSPAN_OK, RunDownload(server.Url("/walk"), target).result);
    std::vector<DWORD> callCounts;
    for (const Step &step : steps) callCounts.push_back(FaultCallCount(step.function));
    size_t descriptors = OpenDescriptors();
    unsigned walked = 0;
    for (size_t index = 0; index < sizeof steps / sizeof steps[0]; index++) {
        const Step &step = steps[index];
        DWORD calls = callCounts[index];
        EXPECT_GT(calls, 0u) << step.function;
        for (DWORD n = 1; n <= calls; n++) {
            std::string rule = std::string(step.function) + "@" + std::to_string(n) + "=31";
            SCOPED_TRACE(rule);
            std::remove(target.c_str());
            ASSERT_TRUE(SetFaultRules(rule.c_str()));
            Download download = RunDownload(server.Url("/walk"), target);
            SetFaultRules(nullptr);
            walked++;

            bool closing = std::string(step.function) == "InternetCloseHandle";
            std::vector<std::string> errors = ErrorLines(download);
            EXPECT_EQ(closing ? LARKSPAN_OK : LARKSPAN_FAILED, download.result);
            ASSERT_EQ(1u, errors.size());
            EXPECT_EQ(step.line, errors[0]);
            if (download.result == LARKSPAN_OK) {
                EXPECT_TRUE(ReadWholeFile(target) == body);
            }
            EXPECT_EQ(0u, WinPosix_OpenInternetHandles()) << "an internet handle was left open";
            EXPECT_TRUE(DescriptorsReturnTo(descriptors)) << "a file or socket was left open";
        }
    }
    EXPECT_GE(walked, 15u);
}

}  // namespace
