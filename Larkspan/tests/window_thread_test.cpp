// A download on a worker thread to a window of another thread: the window's
// own thread runs its procedure, and the worker waits for it at every step.
#include <Larkspan.h>

#include "download_harness.h"
#include "messages.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

const size_t kBlock = 32000;

unsigned ReadsFor(size_t size)
{
    return (unsigned)((size + kBlock - 1) / kBlock) + 1;
}

class WindowThreadTest : public ::testing::Test {
protected:
    TestHttpServer server;
    Scratch scratch{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    std::string target = scratch.Path("download.bin");
};

TEST_F(WindowThreadTest, WorkerWaitsForTheOwnerThreadAtEveryStep)
{
    std::string body = PatternBody(100000, 21);
    server.Route("/file", Respond(200, body));
    WorkerDownload download(server.Url("/file"), target);
    // The first progress message waits for this thread, and the download with it.
    ASSERT_TRUE(WaitForSentMessage());
    Sleep(200);
    EXPECT_EQ(0u, download.Handled());
    EXPECT_EQ(1u, download.LinesWritten());
    Download done = download.Finish();
    EXPECT_EQ(LARKSPAN_OK, done.result);
    EXPECT_EQ(ReadsFor(body.size()), done.messages);
    EXPECT_TRUE(download.AllOnOwnerThread());
    EXPECT_TRUE(ReadWholeFile(target) == body);
}

// The worker is let go with 0 for that message and the rest, and the
// download ends as it would with no window.
TEST_F(WindowThreadTest, WindowOrItsThreadGoneReleasesTheWaitingWorker)
{
    std::string body = PatternBody(100000, 22);
    server.Route("/file", Respond(200, body));
    for (bool threadEnds : {false, true}) {
        SCOPED_TRACE(threadEnds ? "the owner thread ends" : "the window is destroyed");
        std::unique_ptr<WorkerDownload> download;
        auto own = [&] {
            download.reset(new WorkerDownload(server.Url("/file"), target));
            ASSERT_TRUE(WaitForSentMessage());
            if (!threadEnds) download->DestroyWindowNow();
        };
        if (threadEnds)
            std::thread(own).join();
        else
            own();
        Download done = download->Finish();
        EXPECT_EQ(LARKSPAN_OK, done.result);
        EXPECT_EQ(0u, done.messages);
        EXPECT_TRUE(ReadWholeFile(target) == body);
    }
}

TEST_F(WindowThreadTest, TwoWorkersToWindowsOfOneThread)
{
    std::string first = PatternBody(70000, 23), second = PatternBody(150000, 24);
    server.Route("/first", RespondInPieces(first, 16000, 1));
    server.Route("/second", RespondInPieces(second, 16000, 1));
    WorkerDownload one(server.Url("/first"), scratch.Path("first")), two(server.Url("/second"), scratch.Path("second"));
    Download oneDone = one.Finish(), twoDone = two.Finish();
    EXPECT_EQ(LARKSPAN_OK, oneDone.result);
    EXPECT_EQ(LARKSPAN_OK, twoDone.result);
    EXPECT_EQ(ReadsFor(first.size()), oneDone.messages);
    EXPECT_EQ(ReadsFor(second.size()), twoDone.messages);
    EXPECT_TRUE(one.AllOnOwnerThread() && two.AllOnOwnerThread());
    EXPECT_TRUE(ReadWholeFile(scratch.Path("first")) == first);
    EXPECT_TRUE(ReadWholeFile(scratch.Path("second")) == second);
}

}  // namespace
