// larkspan-get: downloads a URL into a file with the Larkspan library, loaded
// at run time and called with a message-only window of this thread's, whose
// procedure draws the progress that the library's messages and debugger
// lines carry.
// Exits with the library's result code, and says why a download failed.
#include <Larkspan.h>

#include "debugwatch.h"
#include "failure_words.h"

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

const int kExitUsage = 2;
const int kExitNoLibrary = 3;

// Touched by the main thread only: the window's procedure runs there.
struct Progress {
    bool terminal;
    bool debug;
    unsigned long messages;       // progress messages received: blocks read + 1
    unsigned long long kilobytes; // the library's own count, from its debugger lines
    ULONGLONG started;
    ULONGLONG lastDrawn;
    bool lineShown;
    std::vector<std::string> failures;  // the library's lines that are not progress lines
};

Progress progress;

// The debugger lines come on whichever thread writes them (the library
// writes on this one). They wait here until the window procedure takes them,
// at the next progress message or at the end: every line comes before one
// of those, and the terminal is written in one place.
std::mutex pendingLock;
std::vector<std::string> pendingLines;

void Usage(FILE *out)
{
    fprintf(out,
            "usage: larkspan-get [--debug] [--] URL FILE\n"
            "\n"
            "Downloads URL into FILE with the Larkspan library and exits with its result:\n"
            "  0    stored\n"
            "  1    failed (the reason is printed)\n"
            "  100  stored, but the body looks like an HTML page\n"
            "  %d    wrong arguments, %d  the library could not be loaded\n"
            "\n"
            "  --debug   print the library's debugger output as it comes\n"
            "  --help    show this text\n"
            "  --version show the version\n"
            "  --        end of options: what follows is URL and FILE even if it starts with -\n",
            kExitUsage, kExitNoLibrary);
}

double Seconds(ULONGLONG milliseconds)
{
    return milliseconds / 1000.0;
}

// "12.3 MB" style, decimal units like the library's KBytes.
std::string Amount(unsigned long long kilobytes)
{
    char text[64];
    if (kilobytes < 1000)
        snprintf(text, sizeof text, "%llu kB", kilobytes);
    else if (kilobytes < 1000000)
        snprintf(text, sizeof text, "%.1f MB", kilobytes / 1000.0);
    else
        snprintf(text, sizeof text, "%.2f GB", kilobytes / 1000000.0);
    return text;
}

std::string Rate(unsigned long long kilobytes, ULONGLONG elapsed)
{
    if (elapsed == 0) return "-";
    return Amount((unsigned long long)(kilobytes * 1000.0 / elapsed)) + "/s";
}

unsigned long Blocks()
{
    return progress.messages ? progress.messages - 1 : 0;
}

void ClearLine()
{
    if (progress.lineShown) fputs("\r\033[K", stderr);
    progress.lineShown = false;
}

void DrawLine(bool force)
{
    ULONGLONG now = GetTickCount64();
    if (!force && progress.lineShown && now - progress.lastDrawn < 100) return;
    progress.lastDrawn = now;
    ULONGLONG elapsed = now - progress.started;
    fprintf(stderr, "\r\033[K%lu blocks  about %s  %s  %.1f s", Blocks(), Amount(progress.kilobytes).c_str(),
            Rate(progress.kilobytes, elapsed).c_str(), Seconds(elapsed));
    fflush(stderr);
    progress.lineShown = true;
}

void OnDebugString(void *, const char *text)
{
    std::lock_guard<std::mutex> hold(pendingLock);
    pendingLines.push_back(text);
}

// On the main thread: takes the lines the library has written so far.
void TakeDebugLines()
{
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(pendingLock);
        lines.swap(pendingLines);
    }
    const char progressHead[] = "Downloading file.\nDownloaded ";
    for (const std::string &text : lines) {
        if (text.compare(0, strlen(progressHead), progressHead) == 0)
            progress.kilobytes = strtoull(text.c_str() + strlen(progressHead), NULL, 10);
        else
            progress.failures.push_back(text);
        if (!progress.debug) continue;
        ClearLine();
        // One output line per line of the string, so multi-line strings stay readable.
        for (const char *line = text.c_str(); *line;) {
            const char *end = strchr(line, '\n');
            size_t length = end ? (size_t)(end - line) : strlen(line);
            fprintf(stderr, "debug: %.*s\n", (int)length, line);
            line += length + (end ? 1 : 0);
        }
    }
}

LRESULT CALLBACK ProgressWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LARKSPAN_PROGRESS_MESSAGE) {
        TakeDebugLines();
        progress.messages++;
        if (progress.terminal) DrawLine(false);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A message-only window: it only receives messages, so it needs no display
// (natively, no X connection at all) and no other program can find it.
HWND CreateProgressWindow()
{
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = ProgressWindowProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "LarkspanGetProgress";
    if (!RegisterClassA(&windowClass)) return NULL;
    return CreateWindowExA(0, "LarkspanGetProgress", "larkspan-get", WS_OVERLAPPED, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                           windowClass.hInstance, NULL);
}

bool StderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

// The library beside this program (or, natively, in ../lib of an installed
// tree), else wherever the system's search finds it.
LarkspanFunction LoadLarkspan()
{
#ifdef _WIN32
    HMODULE library = LoadLibraryA("Larkspan.dll");
    if (!library) {
        fprintf(stderr, "larkspan-get: cannot load Larkspan.dll (error %lu)\n", GetLastError());
        return NULL;
    }
    return (LarkspanFunction)(void (*)(void))GetProcAddress(library, "Larkspan");
#else
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = length > 0 ? std::string(self, length) : std::string();
    folder = folder.substr(0, folder.find_last_of('/') + 1);
    void *library = nullptr;
    for (std::string candidate : {folder + "libLarkspan.so", folder + "../lib/libLarkspan.so", std::string("libLarkspan.so")}) {
        library = dlopen(candidate.c_str(), RTLD_NOW);
        if (library) break;
    }
    if (!library) {
        fprintf(stderr, "larkspan-get: cannot load libLarkspan.so: %s\n", dlerror());
        return NULL;
    }
    return (LarkspanFunction)dlsym(library, "Larkspan");
#endif
}

const char *Meaning(int result)
{
    switch (result) {
    case LARKSPAN_OK: return "stored";
    case LARKSPAN_FAILED: return "failed";
    case LARKSPAN_HTML: return "stored, but it looks like an HTML page";
    default: return "unknown result";
    }
}

}  // namespace

int main(int argc, char **argv)
{
#ifndef _WIN32
    // A reader of standard error that goes away (| head) must not end the
    // download: writes to it fail quietly instead.
    signal(SIGPIPE, SIG_IGN);
#endif
    const char *url = NULL, *path = NULL;
    bool options = true;
    for (int i = 1; i < argc; i++) {
        if (options && strcmp(argv[i], "--") == 0) {
            options = false;
        } else if (options && (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)) {
            Usage(stdout);
            return 0;
        } else if (options && strcmp(argv[i], "--version") == 0) {
            printf("larkspan-get %s\n", LARKSPAN_VERSION);
            return 0;
        } else if (options && strcmp(argv[i], "--debug") == 0) {
            progress.debug = true;
        } else if (options && argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "larkspan-get: unknown option %s\n", argv[i]);
            Usage(stderr);
            return kExitUsage;
        } else if (!url) {
            url = argv[i];
        } else if (!path) {
            path = argv[i];
        } else {
            Usage(stderr);
            return kExitUsage;
        }
    }
    if (!url || !path) {
        Usage(stderr);
        return kExitUsage;
    }

    LarkspanFunction larkspan = LoadLarkspan();
    if (!larkspan) return kExitNoLibrary;

    progress.terminal = StderrIsTerminal();
    DebugWatchStart(OnDebugString, NULL);
    HWND window = CreateProgressWindow();
    if (!window) fprintf(stderr, "larkspan-get: no progress window (error %lu); going on without one\n",
                         (unsigned long)GetLastError());

    progress.started = GetTickCount64();
    // On the window's own thread: each progress message is then a call of the
    // window procedure, not a trip to another thread and back. A program
    // with a window to keep responsive downloads on a worker instead
    // (examples/download_on_worker.cpp); this one has nothing else to do.
    int result = larkspan((char *)url, (char *)path, window, NULL);
    ULONGLONG elapsed = GetTickCount64() - progress.started;
    TakeDebugLines();

    if (progress.terminal) {
        DrawLine(true);
        fputc('\n', stderr);
        progress.lineShown = false;
    }
    for (const std::string &failure : progress.failures)
        fprintf(stderr, "larkspan-get: %s\n", ExplainFailureLine(failure).c_str());
    fprintf(stderr, "larkspan-get: %d (%s): %lu blocks, about %s in %.2f s (%s)\n", result, Meaning(result),
            Blocks(), Amount(progress.kilobytes).c_str(), Seconds(elapsed), Rate(progress.kilobytes, elapsed).c_str());
    if (window) DestroyWindow(window);
    DebugWatchStop();
    return result;
}
