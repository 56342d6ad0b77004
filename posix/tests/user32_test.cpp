// user32 as both programs and their callers use it: FindWindowW by class,
// window lifetime, wsprintfA with the formats of the debugger lines, and the
// order in which a thread's message queue gives out its messages.
#include <windows.h>

#include "files.h"
#include "messages.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winposix.h>

#include <chrono>
#include <cstdlib>

extern char **environ;
#endif

namespace {

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

// Class names match whole and regardless of case; a destroyed window is
// neither found nor a window any more, and a message-only window is never
// found. A class stays registered while it has windows.
TEST(User32Contract, FindWindowMatchesWholeClassNamesUntilDestroyed)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"ConformanceFrame7";
    ASSERT_NE(0, RegisterClassW(&windowClass)) << GetLastError();
    HWND window = CreateWindowExW(0, L"ConformanceFrame7", L"Conformance", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL,
                                  NULL, windowClass.hInstance, NULL);
    ASSERT_NE(nullptr, window) << GetLastError();
    const struct {
        const wchar_t *className;
        bool found;
    } cases[] = {
        {L"ConformanceFrame7", true},
        {L"CONFORMANCEFRAME7", true},
        {L"conformanceframe7", true},
        {L"ConformanceFrame", false},
        {L"ConformanceFrame77", false},
        {L"onformanceFrame7", false},
    };
    for (const auto &c : cases) EXPECT_EQ(c.found ? window : nullptr, FindWindowW(c.className, NULL)) << &c - cases;
    HWND messageOnly = CreateWindowExW(0, L"ConformanceFrame7", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                       windowClass.hInstance, NULL);
    ASSERT_NE(nullptr, messageOnly) << GetLastError();

    EXPECT_TRUE(IsWindow(window));
    ASSERT_TRUE(DestroyWindow(window)) << GetLastError();
    EXPECT_FALSE(IsWindow(window));
    // Wine finds the message-only window that is left; Windows looks at top-level windows only.
    EXPECT_EQ(UnderWine() ? messageOnly : nullptr, FindWindowW(L"ConformanceFrame7", NULL));
    SetLastError(0);
    EXPECT_FALSE(DestroyWindow(window));
    // Wine refuses a window that is not (or no longer) the thread's with ERROR_ACCESS_DENIED.
    EXPECT_EQ(UnderWine() ? (DWORD)ERROR_ACCESS_DENIED : (DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
    EXPECT_FALSE(UnregisterClassW(L"ConformanceFrame7", windowClass.hInstance));
    EXPECT_EQ((DWORD)ERROR_CLASS_HAS_WINDOWS, GetLastError());
    ASSERT_TRUE(DestroyWindow(messageOnly)) << GetLastError();
    EXPECT_TRUE(UnregisterClassW(L"ConformanceFrame7", windowClass.hInstance));
}

TEST(User32Contract, WsprintfFormatsTheDebuggerLines)
{
    char out[64];
    EXPECT_EQ(27, wsprintfA(out, "%s: %x", "InternetOpenUrl Error", 12029u));
    EXPECT_STREQ("InternetOpenUrl Error: 2efd", out);
    EXPECT_EQ(22, wsprintfA(out, "HTTP Status Error: %u", 404u));
    EXPECT_STREQ("HTTP Status Error: 404", out);
    EXPECT_EQ(22, wsprintfA(out, "%s: %x", "fwrite Error", 0xFFFFFFFFu));
    EXPECT_STREQ("fwrite Error: ffffffff", out);
    EXPECT_EQ(3, wsprintfA(out, "%d", -12));
    EXPECT_STREQ("-12", out);
}

// Output stops at 1024 characters with the terminator; nothing beyond is
// touched. The count is of the characters stored; Wine counts the terminator
// too when it has cut the output short.
TEST(User32Contract, WsprintfWritesAtMost1024Characters)
{
    std::string longText(2000, 'x');
    char out[1100];
    memset(out, '#', sizeof out);
    int length = wsprintfA(out, "%s", longText.c_str());
    EXPECT_EQ(UnderWine() ? 1024 : 1023, length);
    EXPECT_EQ(std::string(1023, 'x'), std::string(out));
    EXPECT_EQ('#', out[1024]);
}

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
TEST(User32Contract, SentBeforePostedAndQuitLast)
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

const UINT kEndHere = WM_APP + 30, kAskBack = WM_APP + 31;
std::thread *askingThread;  // the thread that sent kAskBack
LRESULT askedBack;

LRESULT CALLBACK EndingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kAskBack) {
        // Sent back to the asking thread, which answers it while it waits
        // for this very procedure.
        askedBack = SendMessageA((HWND)lParam, kEndHere, wParam, 0);
        askingThread->join();  // this procedure's answer then goes to a thread that has gone on or ended
        PostQuitMessage(0);
        return 1;
    }
    if (message != kEndHere) return DefWindowProcA(window, message, wParam, lParam);
    if (wParam) throw (int)wParam;
#ifdef _WIN32
    ExitThread(0);
#else
    pthread_exit(nullptr);
#endif
}

// The thread answering a sent message ends inside the window procedure, or
// (natively) an exception leaves the procedure: the sender goes on, with 0.
// That thread was itself waiting for the answer to a message it had sent;
// the answer, given after it went, goes nowhere. An exception out of a
// window procedure on Windows meets the system's own handling of exceptions
// in callbacks, so that way is not asked of Wine.
TEST(User32Contract, SenderGoesOnWhenTheProcedureDoesNotReturn)
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = EndingProc;
    windowClass.lpszClassName = "LarkspanTestEnding";
    ASSERT_NE(0, RegisterClassA(&windowClass)) << GetLastError();
    HWND window = CreateWindowExA(0, "LarkspanTestEnding", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    ASSERT_NE(nullptr, window) << GetLastError();
#ifdef _WIN32
    const WPARAM ways[] = {0};
#else
    const WPARAM ways[] = {0, 1};  // the thread ends; an exception
#endif
    for (WPARAM way : ways) {
        askedBack = -1;
        std::thread asking([window, way] {
            HWND own = CreateWindowExA(0, "LarkspanTestEnding", "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
            try {
                SendMessageA(window, kAskBack, way, (LPARAM)own);
            } catch (int) {
            }
            DestroyWindow(own);
        });
        askingThread = &asking;
        MSG message;
        while (GetMessageA(&message, NULL, 0, 0) > 0) {
        }
        EXPECT_EQ(0, askedBack) << way;
    }
    DestroyWindow(window);
    EXPECT_TRUE(UnregisterClassA("LarkspanTestEnding", NULL));
}

#ifndef _WIN32
// The descriptor for other event loops is readable exactly while a message
// waits: posted, or sent from another thread (answered by PeekMessage).
TEST(User32Contract, DescriptorIsReadableWhileMessagesWait)
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

// A private Xvfb on a display number of its own choosing. Stopped, its
// socket takes connections, and nothing answers on them.
struct PrivateXServer {
    pid_t pid = -1;
    std::string display;

    PrivateXServer()
    {
        int ready[2];
        if (pipe(ready) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char *argv[] = {(char *)"Xvfb", (char *)"-displayfd", (char *)"3", (char *)"-nolisten", (char *)"tcp", nullptr};
        if (posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv, environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(ready[1]);
        // The number comes once the server listens, in two writes: the line
        // is read whole, for a server whose newline meets a closed pipe ends.
        std::string number;
        char c;
        pollfd readable = {ready[0], POLLIN, 0};
        while (pid > 0 && number.size() < 16 && poll(&readable, 1, 10000) == 1 && read(ready[0], &c, 1) == 1) {
            if (c == '\n') {
                display = ":" + number;
                break;
            }
            number += c;
        }
        close(ready[0]);
    }

    ~PrivateXServer()
    {
        if (pid <= 0) return;
        kill(pid, SIGTERM);  // taken once it goes on: Xvfb then removes its lock file
        kill(pid, SIGCONT);
        waitpid(pid, nullptr, 0);
    }
};

// Names the server's process in the child; "0" when it was stopped before the child started.
const char kStoppedDisplayChild[] = "LARKSPAN_TEST_STOPPED_DISPLAY";

// In the child: a FindWindowW held by the display, while two other threads
// exchange messages through a message-only window, which needs no display.
// The server is stopped before the display is opened, or after a first
// lookup has opened it.
void FindWindowWhileOthersTalk(pid_t stopAfterFirstLookup)
{
    if (stopAfterFirstLookup) {
        EXPECT_EQ(nullptr, FindWindowW(L"LarkspanTestNowhere", NULL));
        kill(stopAfterFirstLookup, SIGSTOP);
    }
    auto started = std::chrono::steady_clock::now();
    std::atomic<bool> finding{true};
    HWND found = (HWND)1;
    std::thread finder([&] {
        found = FindWindowW(L"LarkspanTestNowhere", NULL);
        finding = false;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the finder waits on the server by now

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PlainWindowProc;
    windowClass.lpszClassName = L"LarkspanTestTalk";
    ASSERT_NE(0, RegisterClassW(&windowClass));
    HWND window = CreateWindowExW(0, L"LarkspanTestTalk", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
    ASSERT_NE(nullptr, window);
    std::thread talker([window] {
        for (int i = 0; i < 100; i++) SendMessageA(window, WM_APP, 0, 0);
        PostMessageA(window, WM_APP + 1, 0, 0);
    });
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0 && message.message != WM_APP + 1) {
    }
    talker.join();
    EXPECT_TRUE(finding) << "the messages waited for the lookup";
    finder.join();
    EXPECT_EQ(nullptr, found);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    DestroyWindow(window);
}

// Runs this test again in a child process whose DISPLAY names `display`;
// it must have passed within 20 s.
void RunStoppedDisplayChild(const std::string &display, pid_t server)
{
    std::vector<std::string> environment{std::string(kStoppedDisplayChild) + "=" + std::to_string(server),
                                         "DISPLAY=" + display};
    for (char **variable = environ; *variable; variable++)
        if (strncmp(*variable, "DISPLAY=", 8) != 0) environment.push_back(*variable);
    std::vector<char *> envp;
    for (std::string &variable : environment) envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=User32Contract.StoppedDisplayHoldsUpNoOne";
    char *argv[] = {(char *)"/proc/self/exe", &filter[0], nullptr};
    pid_t child;
    ASSERT_EQ(0, posix_spawn(&child, "/proc/self/exe", nullptr, nullptr, argv, envp.data()));

    int status = 0, waited = 0;
    pid_t ended;
    while ((ended = waitpid(child, &status, WNOHANG)) == 0 && waited++ < 200)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "still held after 20 s";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A display whose server is stopped holds up neither the messages of other
// threads nor FindWindowW itself beyond its bound. In a process of its own
// (this program again), for the display is opened once per process.
TEST(User32Contract, StoppedDisplayHoldsUpNoOne)
{
    if (const char *server = getenv(kStoppedDisplayChild)) return FindWindowWhileOthersTalk(atoi(server));
    for (bool stopAtOnce : {true, false}) {
        SCOPED_TRACE(stopAtOnce ? "stopped before the first lookup" : "stopped after the first lookup");
        PrivateXServer server;
        if (server.pid <= 0) GTEST_SKIP() << "no Xvfb to stop";
        ASSERT_FALSE(server.display.empty()) << "Xvfb did not start";
        if (stopAtOnce) kill(server.pid, SIGSTOP);
        RunStoppedDisplayChild(server.display, stopAtOnce ? 0 : server.pid);
    }
}

#endif

}  // namespace
