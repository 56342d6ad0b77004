// Stands in for the main application in the updater's tests: owns a
// top-level window of the main application's class for a while, and can keep
// one file open without sharing after the window has gone, as a process that
// outlives its window does.
//
//     standin-main READY_FILE WINDOW_MS [HELD_FILE HOLD_MS]
//
// READY_FILE is created once the window exists (and the file is held), and
// READY_FILE.closed once the window is gone.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

LRESULT CALLBACK StandInWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

// Lets the window answer the system while time passes.
void Wait(DWORD milliseconds)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < milliseconds) {
#ifdef _WIN32
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
#endif
        Sleep(10);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 5) {
        fprintf(stderr, "usage: standin-main READY_FILE WINDOW_MS [HELD_FILE HOLD_MS]\n");
        return 2;
    }
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = StandInWindowProc;
    windowClass.hInstance = GetModuleHandleW(NULL);
    windowClass.lpszClassName = L"QUILLBROOK5";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"QUILLBROOK5", L"Stand-in", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL,
                                  windowClass.hInstance, NULL);
    if (!window) return 3;

#ifdef _WIN32
    HANDLE held = INVALID_HANDLE_VALUE;
    if (argc == 5) {
        held = CreateFileA(argv[3], GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (held == INVALID_HANDLE_VALUE) return 4;
    }
#endif
    if (FILE *ready = fopen(argv[1], "w")) fclose(ready);

    Wait((DWORD)atoi(argv[2]));
    DestroyWindow(window);
    std::string closed = std::string(argv[1]) + ".closed";
    if (FILE *marker = fopen(closed.c_str(), "w")) fclose(marker);
    if (argc == 5) Wait((DWORD)atoi(argv[4]));
#ifdef _WIN32
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
#endif
    return 0;
}
