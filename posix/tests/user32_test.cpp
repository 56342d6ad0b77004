// user32 as both programs use it: FindWindowW by class, window lifetime, and
// wsprintfA with the formats of the debugger lines.
#include <windows.h>

#include "platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

LRESULT CALLBACK PlainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

// Class names match whole and regardless of case; a destroyed window is
// neither found nor a window any more.
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

    EXPECT_TRUE(IsWindow(window));
    ASSERT_TRUE(DestroyWindow(window)) << GetLastError();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, FindWindowW(L"ConformanceFrame7", NULL));
    SetLastError(0);
    EXPECT_FALSE(DestroyWindow(window));
    // Wine refuses a window that is not (or no longer) the thread's with ERROR_ACCESS_DENIED.
    EXPECT_EQ(UnderWine() ? (DWORD)ERROR_ACCESS_DENIED : (DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
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

}  // namespace
