// Downloads URL into FILE with Larkspan, showing a progress bar control as
// the window it notifies. The progress message, 0x0405, is the control's
// PBM_STEPIT: the bar steps once per block with no code of ours. The download
// runs on a worker thread while the main thread, which owns the bar, runs the
// message loop, so that the bar takes each step and is painted as it moves.
#include <Larkspan.h>
#include <commctrl.h>

#include <cstdio>
#include <thread>

static_assert(LARKSPAN_PROGRESS_MESSAGE == PBM_STEPIT, "each progress message steps a progress bar");

const UINT kDownloadDone = WM_APP + 1;  // posted to the main thread by the worker, with the result

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
        return 2;
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    // A window of its own here; in an application, a child of its window.
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "Downloading", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE,
                               CW_USEDEFAULT, CW_USEDEFAULT, 400, 80, NULL, NULL, GetModuleHandleA(NULL), NULL);
    if (!bar) {
        std::fprintf(stderr, "no progress bar (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    // One step per block of 32000 bytes over the default range of 0 to 100:
    // past 100 blocks the bar starts over. A program that knows the size sets
    // the range to its number of blocks (PBM_SETRANGE32).
    SendMessageA(bar, PBM_SETSTEP, 1, 0);

    DWORD mainThread = GetCurrentThreadId();
    std::thread worker([&] {
        int result = Larkspan(argv[1], argv[2], bar, NULL);
        PostThreadMessageA(mainThread, kDownloadDone, (WPARAM)result, 0);
    });
    // Every step waits until this thread has handled it, inside GetMessageA:
    // joining the worker before the loop ends would wait for ever.
    int result = LARKSPAN_FAILED;
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (message.hwnd == NULL && message.message == kDownloadDone) {
            result = (int)message.wParam;
            break;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    worker.join();

    std::fprintf(stderr, "%s: result %d, the bar at %d of 100\n", argv[2], result,
                 (int)SendMessageA(bar, PBM_GETPOS, 0, 0));
    DestroyWindow(bar);
    return result;
}
