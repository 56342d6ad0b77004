// Drives the library for the benchmarks, with no window:
//
//     larkspan-bench single URL FILE [--watch]
//                                         one download; --watch also follows
//                                         the debugger output
//     larkspan-bench many N URL FOLDER    N downloads at once, URL with "%d"
//                                         for the thread's number, into FOLDER/N
//     larkspan-bench row N URL FILE       N downloads in a row, as an update
//                                         makes them (curl-floor's counterpart)
//     larkspan-bench worker URL FILE      one download on a worker thread, its
//                                         progress messages sent to a window
//                                         of the main thread, as windowed
//                                         programs call the library
//     larkspan-bench paced N MICROSECONDS N messages sent from a worker thread
//                                         to a window of the main thread, one
//                                         every MICROSECONDS: what a message
//                                         between threads costs
//
// Prints wall and CPU seconds, peak memory, bytes stored and the result, and
// for single --watch also the last KBytes figure of the debugger output.
#include <Larkspan.h>

#include "debugwatch.h"
#include "measure.h"

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

unsigned long long lastFigure;
unsigned long long progressLines;

void OnDebugString(void *, const char *text)
{
    const char *figure = strstr(text, "Downloaded ");
    if (figure) {
        lastFigure = strtoull(figure + strlen("Downloaded "), NULL, 10);
        progressLines++;
    }
}

const UINT kDownloadDone = WM_APP + 1;

LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LARKSPAN_PROGRESS_MESSAGE) return 0;
    if (message == kDownloadDone) {
        PostQuitMessage((int)wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A message-only window of this thread's, for the progress messages.
HWND MakeProgressWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ProgressProc;
    windowClass.lpszClassName = "LarkspanBenchProgress";
    RegisterClassA(&windowClass);
    return CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, NULL, NULL);
}

// This thread's message loop until the worker says it is done; its result.
int RunUntilDone(HWND window, std::thread *worker)
{
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) DispatchMessageA(&message);
    worker->join();
    DestroyWindow(window);
    return (int)message.wParam;
}

// The download on a worker thread while this thread runs the window's
// message loop: every block is a message from one thread to the other.
int DownloadOnWorker(char *url, char *path)
{
    HWND window = MakeProgressWindow();
    if (!window) return 1;
    std::thread worker([&] { PostMessageA(window, kDownloadDone, (WPARAM)Larkspan(url, path, window, NULL), 0); });
    return RunUntilDone(window, &worker);
}

// Progress messages without a download, one every `pause`.
int SendPaced(int count, std::chrono::microseconds pause)
{
    HWND window = MakeProgressWindow();
    if (!window) return 1;
    std::thread worker([&] {
        for (int i = 0; i < count; i++) {
            SendMessageA(window, LARKSPAN_PROGRESS_MESSAGE, 0, 0);
            if (pause.count()) std::this_thread::sleep_for(pause);
        }
        PostMessageA(window, kDownloadDone, 0, 0);
    });
    return RunUntilDone(window, &worker);
}

unsigned long long FileSize(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file) return 0;
    fseeko(file, 0, SEEK_END);
    unsigned long long size = (unsigned long long)ftello(file);
    fclose(file);
    return size;
}

}  // namespace

int main(int argc, char **argv)
{
    if ((argc == 4 || argc == 5) && strcmp(argv[1], "single") == 0) {
        if (argc == 5 && strcmp(argv[4], "--watch") == 0) DebugWatchStart(OnDebugString, NULL);
        double wall = WallClock(), cpu = CpuClock();
        int result = Larkspan(argv[2], argv[3], NULL, NULL);
        wall = WallClock() - wall;
        cpu = CpuClock() - cpu;
        PrintMeasure("single", wall, cpu, FileSize(argv[3]), result);
        printf("last_kbytes=%llu progress_lines=%llu\n", lastFigure, progressLines);
        return result;
    }
    if (argc == 5 && strcmp(argv[1], "row") == 0) {
        int count = atoi(argv[2]), result = 0;
        unsigned long long bytes = 0;
        double wall = WallClock(), cpu = CpuClock();
        for (int i = 0; i < count && result == 0; i++) {
            result = Larkspan(argv[3], argv[4], NULL, NULL);
            bytes += FileSize(argv[4]);
        }
        PrintMeasure("row", WallClock() - wall, CpuClock() - cpu, bytes, result);
        return result;
    }
    if (argc == 4 && strcmp(argv[1], "worker") == 0) {
        double wall = WallClock(), cpu = CpuClock();
        int result = DownloadOnWorker(argv[2], argv[3]);
        PrintMeasure("worker", WallClock() - wall, CpuClock() - cpu, FileSize(argv[3]), result);
        return result;
    }
    if (argc == 4 && strcmp(argv[1], "paced") == 0) {
        double wall = WallClock(), cpu = CpuClock();
        int result = SendPaced(atoi(argv[2]), std::chrono::microseconds(atoi(argv[3])));
        PrintMeasure("paced", WallClock() - wall, CpuClock() - cpu, 0, result);
        return result;
    }
    if (argc == 5 && strcmp(argv[1], "many") == 0) {
        int count = atoi(argv[2]);
        std::vector<int> results(count);
        std::vector<std::string> paths(count);
        std::vector<std::thread> threads;
        double wall = WallClock(), cpu = CpuClock();
        for (int i = 0; i < count; i++) {
            char url[1024];
            snprintf(url, sizeof url, argv[3], i);
            paths[i] = std::string(argv[4]) + "/" + std::to_string(i);
            threads.emplace_back([&results, &paths, i, url = std::string(url)] {
                results[i] = Larkspan(url.c_str(), paths[i].c_str(), NULL, NULL);
            });
        }
        for (std::thread &thread : threads) thread.join();
        wall = WallClock() - wall;
        cpu = CpuClock() - cpu;
        unsigned long long bytes = 0;
        int worst = 0;
        for (int i = 0; i < count; i++) {
            bytes += FileSize(paths[i]);
            if (results[i] != 0) worst = results[i];
        }
        PrintMeasure("many", wall, cpu, bytes, worst);
        return worst;
    }
    fprintf(stderr, "usage: larkspan-bench single URL FILE [--watch] | many N URL-WITH-%%d FOLDER | row N URL FILE | "
                    "worker URL FILE | paced N MICROSECONDS\n");
    return 2;
}
