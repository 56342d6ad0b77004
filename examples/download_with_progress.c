/* Downloads URL into FILE with Larkspan, showing its progress messages,
   which arrive at a window of this program's. */
#include <Larkspan.h>

#include <stdio.h>

static unsigned long progressMessages;

static LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LARKSPAN_PROGRESS_MESSAGE) {
        /* One message before every read: k blocks make k + 1 messages. */
        progressMessages++;
        fprintf(stderr, "\rblocks so far: %lu", progressMessages - 1);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(int argc, char **argv)
{
    WNDCLASSA windowClass = {0};
    HWND window;
    int result;

    if (argc != 3) {
        fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
        return 2;
    }
    windowClass.lpfnWndProc = ProgressWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "DownloadProgress";
    RegisterClassA(&windowClass);
    window = CreateWindowExA(0, "DownloadProgress", "", 0, 0, 0, 0, 0, NULL, NULL, windowClass.hInstance, NULL);

    result = Larkspan(argv[1], argv[2], window, NULL);

    fprintf(stderr, "\n%s: result %d\n", argv[2], result);
    DestroyWindow(window);
    return result;
}
