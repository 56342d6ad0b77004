// Downloads URL into FILE with Larkspan on a worker thread while the main
// thread owns the progress window and runs its message loop, as a windowed
// program does: the window procedure runs on the main thread, and the
// download waits at every block until it has run.
#include <Larkspan.h>

#include <cstdio>
#include <thread>

const UINT kDownloadDone = WM_APP + 1;  // posted by the worker, with the result

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    static unsigned long progressMessages;
    if (message == LARKSPAN_PROGRESS_MESSAGE) {
        // One message before every read: k blocks make k + 1 messages.
        progressMessages++;
        std::fprintf(stderr, "\rblocks so far: %lu", progressMessages - 1);
        return 0;
    }
    if (message == kDownloadDone) {
        PostQuitMessage((int)wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
        return 2;
    }
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ProgressWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "WorkerDownloadProgress";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "WorkerDownloadProgress", "", 0, 0, 0, 0, 0, NULL, NULL,
                                  windowClass.hInstance, NULL);
    if (!window) {
        std::fprintf(stderr, "no window (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }

    std::thread worker([&] {
        int result = Larkspan(argv[1], argv[2], window, NULL);
        PostMessageA(window, kDownloadDone, (WPARAM)result, 0);
    });
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    worker.join();
    int result = (int)message.wParam;  // WM_QUIT carries the code given to PostQuitMessage

    std::fprintf(stderr, "\n%s: result %d\n", argv[2], result);
    DestroyWindow(window);
    return result;
}
