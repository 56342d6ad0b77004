// The layer's own failure paths, each taken by putting a failing function in
// an entry of its system-call table (WinPosix_SetSystemCall): a call of the
// C library, libcurl or Xlib fails as it would on a full disk, another file
// system or a machine out of memory, and the Win32 function that made it
// fails with the error it promises. Native only: Windows has no such table.
#include <shellapi.h>
#include <wininet.h>
#include <windows.h>
#include <winposix.h>

#include "files.h"
#include "http_server.h"

#include <gtest/gtest.h>

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

// A replacement that fails as the function it stands for does: errno set
// (where `error` is not 0) and `failed` returned.
template <int error, auto failed, typename... Arguments> decltype(failed) Failing(Arguments...)
{
    if (error) errno = error;
    return failed;
}

template <typename Function> WinPosixSystemCall Entry(Function function)
{
    return (WinPosixSystemCall)function;
}

// fclose that closes, then reports a failure, as one whose last write-back failed.
decltype(&fclose) standardFclose;
int FcloseFailing(FILE *file)
{
    standardFclose(file);
    errno = EIO;
    return EOF;
}

std::atomic<int> displaysOpened{0};
struct _XDisplay *NoDisplay(const char *)
{
    displaysOpened++;
    return nullptr;
}

// Every entry has a name and a function, takes another in its place, and
// gets the standard one back for NULL; unknown names are refused.
TEST(SystemCalls, EntriesAreNamedReplacedAndRestored)
{
    std::vector<std::string> names;
    for (const char *name = WinPosix_NextSystemCall(nullptr); name; name = WinPosix_NextSystemCall(name)) {
        names.push_back(name);
        EXPECT_NE(nullptr, WinPosix_GetSystemCall(name)) << name;
    }
    for (const char *promised : {"open", "fopen", "fwrite", "rename", "renameat2", "posix_spawn", "curl_easy_init",
                                 "curl_multi_poll", "XOpenDisplay"})
        EXPECT_NE(names.end(), std::find(names.begin(), names.end(), promised)) << promised;

    WinPosixSystemCall standard = WinPosix_GetSystemCall("rename");
    WinPosixSystemCall failing = Entry(Failing<EXDEV, -1, const char *, const char *>);
    ASSERT_TRUE(WinPosix_SetSystemCall("rename", failing));
    EXPECT_EQ(failing, WinPosix_GetSystemCall("rename"));
    EXPECT_TRUE(WinPosix_SetSystemCall("rename", nullptr));
    EXPECT_EQ(standard, WinPosix_GetSystemCall("rename"));
    ASSERT_TRUE(WinPosix_SetSystemCall("rename", failing));
    EXPECT_TRUE(WinPosix_SetSystemCall(nullptr, nullptr));
    EXPECT_EQ(standard, WinPosix_GetSystemCall("rename"));

    EXPECT_FALSE(WinPosix_SetSystemCall("renam", failing));
    EXPECT_EQ(nullptr, WinPosix_GetSystemCall("renam"));
    EXPECT_EQ(nullptr, WinPosix_NextSystemCall("renam"));
}

// Each row fails one call, and the Win32 function over it fails as it
// promises (0: succeeds all the same).
TEST(SystemCalls, FailuresBecomeTheirWin32Errors)
{
    Scratch scratch("SystemCalls");
    const std::string a = scratch.Path("a.txt"), b = scratch.Path("b.txt"), c = scratch.Path("c.txt");
    standardFclose = (decltype(&fclose))WinPosix_GetSystemCall("fclose");
    TestHttpServer server;
    server.Route("/late", [](Connection &connection, const HttpRequest &) {
        PauseMs(200);  // so that the opening waits in curl_multi_poll
        connection.Send(StatusLine(200) + "Content-Length: 2\r\n\r\nok");
    });
    const std::string url = server.Url("/late");
    WinPosix_SetInternetTimeouts(0, 2000);

    auto written = [](const std::string &path, std::function<bool(FILE *)> step) -> DWORD {
        FILE *file = fopen(path.c_str(), "wb");
        if (!file) return ~0u;
        bool done = step(file);
        DWORD error = GetLastError();
        fclose(file);
        return done ? 0 : error;
    };
    auto move = [](const std::string &from, const std::string &to, DWORD flags) -> DWORD {
        return MoveFileExA(from.c_str(), to.c_str(), flags) ? 0 : GetLastError();
    };
    auto open = [&url]() -> DWORD {
        HINTERNET session = InternetOpenA("test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
        HINTERNET request = InternetOpenUrlA(session, url.c_str(), nullptr, 0,
                                             INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
        DWORD error = request ? 0 : GetLastError();
        if (request) InternetCloseHandle(request);
        InternetCloseHandle(session);
        return error;
    };
    const struct {
        const char *call;
        WinPosixSystemCall replacement;
        std::function<DWORD()> act;
        DWORD error;
    } rows[] = {
        {"fopen", Entry(Failing<EMFILE, (FILE *)nullptr, const char *, const char *>),
         [&] { FILE *file = fopen(a.c_str(), "rb"); return file ? 0 : GetLastError(); },
         ERROR_TOO_MANY_OPEN_FILES},
        {"fwrite", Entry(Failing<ENOSPC, (size_t)0, const void *, size_t, size_t, FILE *>),
         [&] { return written(b, [](FILE *file) { return fwrite("x", 1, 1, file) == 1; }); }, ERROR_DISK_FULL},
        {"fflush", Entry(Failing<EDQUOT, EOF, FILE *>),
         [&] { return written(b, [](FILE *file) { return fflush(file) == 0; }); }, ERROR_DISK_FULL},
        {"fclose", Entry(FcloseFailing),
         [&] { FILE *file = fopen(b.c_str(), "wb"); return !file || fclose(file) == 0 ? 0 : GetLastError(); },
         ERROR_GEN_FAILURE},
        {"unlink", Entry(Failing<EROFS, -1, const char *>), [&] { return remove(a.c_str()) == 0 ? 0 : GetLastError(); },
         ERROR_WRITE_PROTECT},
        {"lstat", Entry(Failing<EACCES, -1, const char *, struct stat *>),
         [&] { return GetFileAttributesA(a.c_str()) != INVALID_FILE_ATTRIBUTES ? 0 : GetLastError(); },
         ERROR_ACCESS_DENIED},
        {"rename", Entry(Failing<EXDEV, -1, const char *, const char *>),
         [&] { return move(a, b, MOVEFILE_REPLACE_EXISTING); }, ERROR_NOT_SAME_DEVICE},
        {"renameat2", Entry(Failing<EXDEV, -1, int, const char *, int, const char *, unsigned>),
         [&] { return rename(a.c_str(), c.c_str()) == 0 ? 0 : GetLastError(); }, ERROR_NOT_SAME_DEVICE},
        // A file system without RENAME_NOREPLACE: the move is a link and an
        // unlink, and still never takes a name that is there.
        {"renameat2", Entry(Failing<EINVAL, -1, int, const char *, int, const char *, unsigned>),
         [&] { return move(a, c, 0); }, 0},
        {"renameat2", Entry(Failing<EINVAL, -1, int, const char *, int, const char *, unsigned>),
         [&] { return move(a, b, 0); }, ERROR_ALREADY_EXISTS},
        // Bits that can't be set (not the file's owner): it moves with its own.
        {"chmod", Entry(Failing<EPERM, -1, const char *, mode_t>),
         [&] {
             chmod(b.c_str(), 0640);
             return move(a, b, MOVEFILE_REPLACE_EXISTING);
         },
         0},
        {"posix_spawn",
         Entry(Failing<0, ENOMEM, pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                       char *const *, char *const *>),
         [] { return (DWORD)(uintptr_t)ShellExecuteW(nullptr, L"open", L"/bin/true", nullptr, nullptr, SW_HIDE); },
         SE_ERR_OOM},
        // No descriptor for a queue: -1, as promised.
        {"eventfd", Entry(Failing<EMFILE, -1, unsigned, int>),
         [] {
             int descriptor = 0;
             std::thread([&] { descriptor = WinPosix_MessageQueueFd(); }).join();
             return (DWORD)descriptor;
         },
         (DWORD)-1},
        {"curl_easy_init", Entry(Failing<0, (CURL *)nullptr>), open, ERROR_NOT_ENOUGH_MEMORY},
        {"curl_multi_init", Entry(Failing<0, (CURLM *)nullptr>), open, ERROR_NOT_ENOUGH_MEMORY},
        {"curl_slist_append", Entry(Failing<0, (curl_slist *)nullptr, curl_slist *, const char *>), open,
         ERROR_NOT_ENOUGH_MEMORY},
        {"curl_multi_add_handle", Entry(Failing<0, CURLM_OUT_OF_MEMORY, CURLM *, CURL *>), open,
         ERROR_INTERNET_INTERNAL_ERROR},
        {"curl_multi_perform", Entry(Failing<0, CURLM_OUT_OF_MEMORY, CURLM *, int *>), open,
         ERROR_INTERNET_INTERNAL_ERROR},
        // Not a spin until the time-out: a poll that fails ends the transfer.
        {"curl_multi_poll", Entry(Failing<0, CURLM_UNRECOVERABLE_POLL, CURLM *, curl_waitfd *, unsigned, int, int *>),
         open, ERROR_INTERNET_INTERNAL_ERROR},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.call);
        WriteWholeFile(a, "a");
        WriteWholeFile(b, "b");
        remove(c.c_str());
        SetLastError(0);
        ASSERT_TRUE(WinPosix_SetSystemCall(row.call, row.replacement));
        DWORD error = row.act();
        // Put back before anything is checked: a failure's message is written
        // through the same table.
        WinPosix_SetSystemCall(nullptr, nullptr);
        EXPECT_EQ(row.error, error);
    }
    WinPosix_SetInternetTimeouts(0, 30000);
}

// A display that can't be opened is no display: windows are made without
// an X window, FindWindowW finds only the process's own, and the display is
// not asked for again.
TEST(SystemCalls, DisplayThatCannotBeOpenedHasNoWindows)
{
    const char *display = getenv("DISPLAY");
    if (!display || !*display) setenv("DISPLAY", ":0", 1);  // never opened: the replacement answers
    ASSERT_TRUE(WinPosix_SetSystemCall("XOpenDisplay", Entry(NoDisplay)));
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.lpszClassName = L"SystemCallsNoDisplay";
    ASSERT_NE(0, RegisterClassW(&windowClass));
    HWND window = CreateWindowExW(0, L"SystemCallsNoDisplay", L"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    HWND own = FindWindowW(L"SystemCallsNoDisplay", nullptr);
    HWND other = FindWindowW(L"SystemCallsNobodysClass", nullptr);
    WinPosix_SetSystemCall(nullptr, nullptr);
    ASSERT_NE(nullptr, window) << GetLastError();
    EXPECT_EQ(window, own);
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(nullptr, FindWindowW(L"SystemCallsNobodysClass", nullptr));
    EXPECT_EQ(1, displaysOpened.load());
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_TRUE(UnregisterClassW(L"SystemCallsNoDisplay", nullptr));
}

}  // namespace
