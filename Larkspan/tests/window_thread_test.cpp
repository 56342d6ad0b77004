// A download on a worker thread to a window of another thread: the window's
// own thread runs its procedure, and the worker waits for it at every step.
// Also the order in which a thread's queue gives out its messages, which the
// native build must keep as Windows does.
#include <Larkspan.h>

#include "download_harness.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#ifndef _WIN32
#include <poll.h>
#include <winposix.h>
#endif

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

// ---- the queue's order ------------------------------------------------------

const UINT kSent = WM_APP + 10, kSentBack = WM_APP + 20;
std::vector<UINT> handledByMain;  // the main window's procedure, on the test thread
std::atomic<HWND> helperWindow;
std::atomic<DWORD> helperThread;
std::atomic<bool> sentBackOnHelperThread;

LRESULT CALLBACK QueueOrderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kSentBack) {
        sentBackOnHelperThread = GetCurrentThreadId() == helperThread;
        return 42;
    }
    if (message >= WM_APP && message < kSentBack) {
        handledByMain.push_back(message);
        // Sent back to the thread that waits for this very answer: it must
        // answer it while it waits.
        if (message == kSent) return SendMessageA(helperWindow, kSentBack, 0, 0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateQueueOrderWindow()
{
    static bool registered;
    if (!registered) {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = QueueOrderProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = "LarkspanTestQueueOrder";
        registered = RegisterClassA(&windowClass) != 0;
    }
    return CreateWindowExA(0, "LarkspanTestQueueOrder", "", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL,
                           GetModuleHandleA(NULL), NULL);
}

// Sent messages are answered before any posted one is returned, posted ones
// come in order (a filter may pick one out), thread messages go to no
// procedure, and WM_QUIT comes once no posted message is left. Another
// thread can send to the window but not destroy it.
TEST(MessageQueueTest, SentBeforePostedAndQuitLast)
{
    HWND window = CreateQueueOrderWindow();
    ASSERT_TRUE(window != NULL);
    handledByMain.clear();
    PostMessageA(window, WM_APP + 1, 0, 0);
    PostThreadMessageA(GetCurrentThreadId(), WM_APP + 2, 0, 0);
    PostQuitMessage(7);
    PostMessageA(window, WM_APP + 3, 0, 0);
    PostMessageA(window, WM_APP + 4, 0, 0);
    LRESULT sentResult = 0;
    BOOL destroyedByHelper = TRUE;
    DWORD destroyError = 0;
    std::thread helper([&] {
        helperThread = GetCurrentThreadId();
        helperWindow = CreateQueueOrderWindow();
        // Only the owner thread may destroy a window.
        destroyedByHelper = DestroyWindow(window);
        destroyError = GetLastError();
        sentResult = SendMessageA(window, kSent, 0, 0);
        DestroyWindow(helperWindow);
    });
    ASSERT_TRUE(WaitForSentMessage());

    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(WM_APP + 1, message.message);
    EXPECT_EQ((std::vector<UINT>{kSent}), handledByMain);
    ASSERT_TRUE(PeekMessageA(&message, window, WM_APP + 3, WM_APP + 3, PM_REMOVE));
    EXPECT_EQ(WM_APP + 3, message.message);

    std::vector<UINT> got;
    BOOL more;
    while ((more = GetMessageA(&message, NULL, 0, 0)) > 0) {
        got.push_back(message.message);
        EXPECT_EQ(message.message == WM_APP + 2 ? NULL : window, message.hwnd);
        DispatchMessageA(&message);
    }
    EXPECT_EQ(0, more);
    EXPECT_EQ((UINT)WM_QUIT, message.message);
    EXPECT_EQ(7u, message.wParam);
    EXPECT_EQ((std::vector<UINT>{WM_APP + 1, WM_APP + 2, WM_APP + 4}), got);
    EXPECT_EQ((std::vector<UINT>{kSent, WM_APP + 1, WM_APP + 4}), handledByMain);
    EXPECT_FALSE(PeekMessageA(&message, NULL, 0, 0, PM_REMOVE));
    helper.join();
    EXPECT_EQ(42, sentResult);
    EXPECT_FALSE(destroyedByHelper);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, destroyError);
    EXPECT_TRUE(sentBackOnHelperThread);
    DestroyWindow(window);
}

#ifndef _WIN32
// The descriptor for other event loops is readable exactly while a message
// waits: posted, or sent from another thread (answered by PeekMessage).
TEST(MessageQueueTest, DescriptorIsReadableWhileMessagesWait)
{
    int descriptor = WinPosix_MessageQueueFd();
    ASSERT_GE(descriptor, 0);
    auto readable = [descriptor] {
        pollfd watched = {descriptor, POLLIN, 0};
        return poll(&watched, 1, 0) == 1;
    };
    MSG message;
    EXPECT_FALSE(readable());
    PostThreadMessageA(GetCurrentThreadId(), WM_APP, 0, 0);
    EXPECT_TRUE(readable());
    EXPECT_TRUE(PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE));
    EXPECT_TRUE(readable());
    EXPECT_TRUE(PeekMessageA(&message, NULL, 0, 0, PM_REMOVE));
    EXPECT_FALSE(readable());

    HWND window = CreateQueueOrderWindow();
    handledByMain.clear();
    std::thread sender([window] { SendMessageA(window, WM_APP + 5, 0, 0); });
    pollfd watched = {descriptor, POLLIN, 0};
    EXPECT_EQ(1, poll(&watched, 1, 10000));
    EXPECT_FALSE(PeekMessageA(&message, NULL, 0, 0, PM_REMOVE));
    EXPECT_FALSE(readable());
    sender.join();
    EXPECT_EQ((std::vector<UINT>{WM_APP + 5}), handledByMain);
    DestroyWindow(window);
}
#endif

}  // namespace
