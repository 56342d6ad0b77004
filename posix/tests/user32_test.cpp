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
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winposix.h>

#include <chrono>
#include <cstdlib>
#include <deque>

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

// What the test does in a child process: a lookup on a stopped server (the
// value names the server's process; "0" when it was stopped before the child
// started), a lookup over a slow link (the value is the server's own
// display), or finding the class named.
const char kStoppedDisplayChild[] = "LARKSPAN_TEST_STOPPED_DISPLAY";
const char kSlowDisplayChild[] = "LARKSPAN_TEST_SLOW_DISPLAY";
const char kFindClassChild[] = "LARKSPAN_TEST_FIND_CLASS";

// Each reply held back this long, as by a display across a network; and
// enough windows that a walk over them all (two replies a window) takes
// longer than the layer's 2 s for one reply.
constexpr std::chrono::milliseconds kLinkDelay(10);
constexpr int kSlowLinkWindows = 125;

bool SendAll(int socket, const std::string &bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += (size_t)n;
    }
    return true;
}

// A link to a private server that holds back every reply kLinkDelay: slow,
// but answering. On loopback TCP, as X names a TCP display by its port
// (6000 + the number); it carries one connection.
struct SlowLink {
    std::string display;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> ending{false};
    std::thread carrier;

    explicit SlowLink(const std::string &serverDisplay)
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 || bind(listener, (sockaddr *)&address, length) != 0 || listen(listener, 1) != 0 ||
            getsockname(listener, (sockaddr *)&address, &length) != 0 || ntohs(address.sin_port) <= 6000)
            return;
        display = "127.0.0.1:" + std::to_string(ntohs(address.sin_port) - 6000);
        carrier = std::thread(&SlowLink::Carry, this, "/tmp/.X11-unix/X" + serverDisplay.substr(1));
    }

    ~SlowLink()
    {
        ending = true;
        if (carrier.joinable()) carrier.join();
        if (listener >= 0) close(listener);
    }

    void Carry(const std::string &serverPath)
    {
        int client = -1, server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        pollfd incoming = {listener, POLLIN, 0};
        while (!ending && client < 0)
            if (poll(&incoming, 1, 50) == 1) client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", serverPath.c_str());
        bool open = client >= 0 && server >= 0 && connect(server, (sockaddr *)&address, sizeof address) == 0;
        int on = 1;
        if (open) setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> held;  // replies, due when
        char buffer[65536];
        while (open && !ending) {
            while (open && !held.empty() && held.front().first <= std::chrono::steady_clock::now()) {
                open = SendAll(client, held.front().second);
                held.pop_front();
            }
            auto due = held.empty() ? std::chrono::milliseconds(50)
                                    : std::chrono::ceil<std::chrono::milliseconds>(held.front().first -
                                                                                   std::chrono::steady_clock::now());
            pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (!open || poll(ends, 2, (int)std::max<long>(0, due.count())) <= 0) continue;
            ssize_t n;
            if (ends[0].revents)
                open = (n = read(client, buffer, sizeof buffer)) > 0 && SendAll(server, std::string(buffer, n));
            if (open && ends[1].revents) {
                open = (n = read(server, buffer, sizeof buffer)) > 0;
                if (open) held.emplace_back(std::chrono::steady_clock::now() + kLinkDelay, std::string(buffer, n));
            }
        }
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }
};

void RunDisplayChild(const std::string &display, const std::string &variable);

// In the child, over a slow link: a lookup whose walk takes longer than the
// bound in all, each reply well within it, leaves the display there: a
// window made after it is seen from another process.
void LookUpOverSlowLink(const std::string &serverDisplay)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = PlainWindowProc;
    for (const wchar_t *name : {L"LarkspanTestSlow", L"LarkspanTestAfterSlow"}) {
        windowClass.lpszClassName = name;
        ASSERT_NE(0, RegisterClassW(&windowClass));
    }
    for (int i = 0; i < kSlowLinkWindows; i++)
        ASSERT_NE(nullptr, CreateWindowExW(0, L"LarkspanTestSlow", L"", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL));
    EXPECT_EQ(nullptr, FindWindowW(L"LarkspanTestNowhere", NULL));
    ASSERT_NE(nullptr, CreateWindowExW(0, L"LarkspanTestAfterSlow", L"", 0, 0, 0, 0, 0, NULL, NULL, NULL, NULL));
    RunDisplayChild(serverDisplay, std::string(kFindClassChild) + "=LarkspanTestAfterSlow");
}

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

// Runs this test again in a child process whose DISPLAY names `display`,
// with `variable` (NAME=value) saying what it does; it must have passed
// within 20 s.
void RunDisplayChild(const std::string &display, const std::string &variable)
{
    std::vector<std::string> environment{variable, "DISPLAY=" + display};
    for (char **variable = environ; *variable; variable++)
        if (strncmp(*variable, "DISPLAY=", 8) != 0) environment.push_back(*variable);
    std::vector<char *> envp;
    for (std::string &variable : environment) envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=User32Contract.DisplayIsGivenUpOnlyWhenItStopsAnswering";
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
// threads nor FindWindowW itself beyond its bound; one that answers slowly
// is not given up, however long a lookup takes in all. In a process of its
// own (this program again), for the display is opened once per process.
TEST(User32Contract, DisplayIsGivenUpOnlyWhenItStopsAnswering)
{
    if (const char *wanted = getenv(kFindClassChild)) {
        EXPECT_NE(nullptr, FindWindowA(wanted, NULL)) << wanted;
        return;
    }
    if (const char *server = getenv(kSlowDisplayChild)) return LookUpOverSlowLink(server);
    if (const char *server = getenv(kStoppedDisplayChild)) return FindWindowWhileOthersTalk(atoi(server));
    enum Held { kStoppedAtOnce, kStoppedAfterFirstLookup, kSlowLink };
    for (Held held : {kStoppedAtOnce, kStoppedAfterFirstLookup, kSlowLink}) {
        SCOPED_TRACE(held == kStoppedAtOnce             ? "stopped before the first lookup"
                     : held == kStoppedAfterFirstLookup ? "stopped after the first lookup"
                                                        : "slow link");
        PrivateXServer server;
        if (server.pid <= 0) GTEST_SKIP() << "no Xvfb";
        ASSERT_FALSE(server.display.empty()) << "Xvfb did not start";
        if (held == kSlowLink) {
            SlowLink link(server.display);
            ASSERT_FALSE(link.display.empty()) << "no loopback port for the link";
            RunDisplayChild(link.display, std::string(kSlowDisplayChild) + "=" + server.display);
            continue;
        }
        if (held == kStoppedAtOnce) kill(server.pid, SIGSTOP);
        RunDisplayChild(server.display, std::string(kStoppedDisplayChild) + "=" +
                                            std::to_string(held == kStoppedAtOnce ? 0 : server.pid));
    }
}

#endif

}  // namespace
