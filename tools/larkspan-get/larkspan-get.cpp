// larkspan-get: downloads a URL with the Larkspan library, loaded at run
// time and called with a message-only window of this thread's, whose
// procedure draws the progress that the library's messages and debugger
// lines carry. The command line is in arguments.cpp, where the body goes in
// output.cpp; this file runs the download and turns its outcome into one
// exit code (exit_codes.h) and lines that say why.
#include <Larkspan.h>

#include "arguments.h"
#include "debugwatch.h"
#include "exit_codes.h"
#include "failure_words.h"
#include "interrupt.h"
#include "live_line.h"
#include "output.h"

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

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

void DrawLine(bool force)
{
    ULONGLONG now = GetTickCount64();
    if (!force && progress.lineShown && now - progress.lastDrawn < 100) return;
    progress.lastDrawn = now;
    ULONGLONG elapsed = now - progress.started;
    char text[160];
    snprintf(text, sizeof text, "%lu blocks  about %s  %s  %.1f s", Blocks(), Amount(progress.kilobytes).c_str(),
             Rate(progress.kilobytes, elapsed).c_str(), Seconds(elapsed));
    LiveLineDraw(text);
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
    const char progressHead[] = LARKSPAN_PROGRESS_PREFIX;
    for (const std::string &text : lines) {
        if (text.compare(0, strlen(progressHead), progressHead) == 0)
            progress.kilobytes = strtoull(text.c_str() + strlen(progressHead), NULL, 10);
        else
            progress.failures.push_back(text);
        if (!progress.debug) continue;
        LiveLineClear();
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

// The library beside this program (or, natively, in ../lib of an installed
// tree), else wherever the system's search finds it.
LarkspanFunction LoadLarkspan()
{
#ifdef _WIN32
    HMODULE library = LoadLibraryA("Larkspan.dll");
    if (!library) {
        // The two a user meets: no DLL where Windows looks (126), and one of
        // the other width (193); the number alone says neither.
        DWORD error = GetLastError();
        const char *words = error == ERROR_MOD_NOT_FOUND
                                ? "Windows found no Larkspan.dll: it belongs in the folder of larkspan-get.exe"
                            : error == ERROR_BAD_EXE_FORMAT
                                ? "Larkspan.dll is of the other width: take it and larkspan-get.exe from the same zip"
                                : ErrorWords(error);
        fprintf(stderr, "larkspan-get: cannot load Larkspan.dll (error %lu%s%s)\n", error, words ? ": " : "",
                words ? words : "");
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

// The library's failure lines, each naming what it concerns (the file the
// user named, or the URL, by the line's label); the first, whose error the
// library left for GetLastError, with words for it.
void SayFailures(const Options &options, bool fileLines, unsigned long error)
{
    bool first = true;
    for (const std::string &failure : progress.failures) {
        bool file = FailureConcerns(failure) == kAboutFile;
        std::string line = first ? ExplainFailure(failure, error, options.url) : failure;
        first = false;
        if (file && !fileLines) continue;
        const char *output = options.output == "-" ? "standard output" : options.output.c_str();
        fprintf(stderr, "larkspan-get: %s: %s\n", file ? output : options.url, line.c_str());
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
    Options options = Options();
    switch (ParseArguments(argc, argv, &options)) {
    case kParsedDone: return kExitStored;
    case kParsedUsage: return kExitUsage;
    case kParsedRun: break;
    }
    progress.debug = options.debug;

    LarkspanFunction larkspan = LoadLarkspan();
    if (!larkspan) return kExitNoLibrary;

    // Before the .part file is made, so that no moment leaves it behind.
    InterruptStart(options.keepPartial);
    Output output;
    if (int failed = OutputOpen(&output, options.output.c_str())) return failed;
    if (!output.stream) InterruptSetPartial(&output);

    progress.terminal = !options.quiet && LiveLineStart();
    DebugWatchStart(OnDebugString, NULL);
    HWND window = CreateProgressWindow();
    if (!window) fprintf(stderr, "larkspan-get: no progress window (error %lu); going on without one\n",
                         (unsigned long)GetLastError());

    progress.started = GetTickCount64();
    // On the window's own thread: each progress message is then a call of the
    // window procedure, not a trip to another thread and back. A program
    // with a window to keep responsive downloads on a worker instead
    // (examples/download_on_worker.cpp); this one has nothing else to do.
    int result = larkspan((char *)options.url, (char *)output.libraryPath.c_str(), window, NULL);
    unsigned long error = GetLastError();  // the first failure's, or 0
    ULONGLONG elapsed = GetTickCount64() - progress.started;
    TakeDebugLines();
    if (window) DestroyWindow(window);
    DebugWatchStop();

    if (progress.terminal) DrawLine(true);
    LiveLineEnd();
    progress.lineShown = false;
    int code = ExitCodeForDownload(result, progress.failures.empty() ? std::string() : progress.failures[0], error);
    // When the bridge into the .part file could not write it, the library's
    // lines about its writes name the bridge's pipe; OutputFinish says why.
    bool drained = OutputDrain(&output);
    SayFailures(options, drained || output.stream, error);
    if (int failed = OutputFinish(&output, code == kExitStored || code == kExitHtml, options.keepPartial))
        code = failed;
    InterruptSetPartial(NULL);

    const char *name = output.target == "-" ? "standard output" : output.target.c_str();
    bool stored = code == kExitStored || code == kExitHtml;
    if (!options.quiet || !stored || code == kExitHtml)
        fprintf(stderr, "larkspan-get: %d (%s): %s%s, %lu blocks, about %s in %.2f s (%s)\n", code,
                ExitCodeWords(code), stored ? "to " : "from ", stored ? name : options.url, Blocks(),
                Amount(progress.kilobytes).c_str(), Seconds(elapsed), Rate(progress.kilobytes, elapsed).c_str());
    return code;
}
