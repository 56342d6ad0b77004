// larkspan-get: downloads URLs with the Larkspan library, loaded at run
// time and called with a message-only window of this thread's, whose
// procedure draws the progress that the library's messages and debugger
// lines carry. The command line is in arguments.cpp, where the body goes in
// output.cpp, the time limits in time_limit.cpp; this file runs each
// download, tries a transient failure again when asked, and turns the
// outcomes into one exit code (exit_codes.h) and lines that say why.
//
// The progress line shows what the tool can know: blocks, kilobytes (the
// library's own count), rate and time. The body's size is not among it: the
// library's messages carry no figure, its lines only the running count, and
// asking the server apart (a HEAD) would be a request the library does not
// make. So there is no share and no time left.
#include <Larkspan.h>

#include "arguments.h"
#include "debugwatch.h"
#include "exit_codes.h"
#include "failure_words.h"
#include "interrupt.h"
#include "live_line.h"
#include "output.h"
#include "time_limit.h"

#include <stdio.h>
#include <string.h>

#include <mutex>
#include <chrono>
#include <string>
#include <thread>
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
    // The running account comes before every read of the body, the first
    // once the server's answer is in (with a progress window or without).
    if (strncmp(text, LARKSPAN_PROGRESS_PREFIX, strlen(LARKSPAN_PROGRESS_PREFIX)) == 0) TimeLimitAnswered();
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
void SayFailures(const Transfer &transfer, bool fileLines, unsigned long error)
{
    bool first = true;
    for (const std::string &failure : progress.failures) {
        bool file = FailureConcerns(failure) == kAboutFile;
        std::string line = first ? ExplainFailure(failure, error, transfer.url) : failure;
        first = false;
        if (file && !fileLines) continue;
        const char *output = transfer.output == "-" ? "standard output" : transfer.output.c_str();
        fprintf(stderr, "larkspan-get: %s: %s\n", file ? output : transfer.url, line.c_str());
    }
}

// One call of the library for `transfer`, the outcome put in place. Its
// exit code; *again says whether to try again (`mayRetry`: tries are left).
int Attempt(LarkspanFunction larkspan, HWND window, const Options &options, const Transfer &transfer,
            bool mayRetry, bool *again)
{
    *again = false;
    Output output;
    if (int failed = OutputOpen(&output, transfer.output.c_str())) return failed;
    if (!output.stream) InterruptSetPartial(&output);

    progress.messages = 0;
    progress.kilobytes = 0;
    progress.failures.clear();
    progress.started = GetTickCount64();
    TimeLimitAttempt(transfer.url);
    // On the window's own thread: each progress message is then a call of the
    // window procedure, not a trip to another thread and back. A program
    // with a window to keep responsive downloads on a worker instead
    // (examples/download_on_worker.cpp); this one has nothing else to do.
    int result = larkspan(transfer.url, output.libraryPath.c_str(), window, NULL);
    unsigned long error = GetLastError();  // the first failure's, or 0
    TimeLimitHold();
    ULONGLONG elapsed = GetTickCount64() - progress.started;
    TakeDebugLines();

    if (progress.terminal) DrawLine(true);
    LiveLineBreak();
    progress.lineShown = false;
    int code = ExitCodeForDownload(result, progress.failures.empty() ? std::string() : progress.failures[0], error);
    bool stored = code == kExitStored || code == kExitHtml;
    if (code == kExitHtml && options.acceptHtml) code = kExitStored;
    // When the bridge into the .part file could not write it, the library's
    // lines about its writes name the bridge's pipe; OutputFinish says why.
    bool drained = OutputDrain(&output);
    // A stream can't take back what it was given: it is tried again only
    // when nothing went to it (a block is written after each progress
    // message but the last).
    *again = mayRetry && IsTransient(code, error) && !output.bridgeFailure &&
             (!output.stream || progress.messages <= 1);
    if (!options.quiet || !*again) SayFailures(transfer, drained || output.stream, error);
    if (int failed = OutputFinish(&output, stored, options.keepPartial && !*again)) {
        code = failed;
        *again = false;
    }
    InterruptSetPartial(NULL);
    if (*again) return code;

    const char *name = output.target == "-" ? "standard output" : output.target.c_str();
    stored = code == kExitStored || code == kExitHtml;
    if (!options.quiet || !stored || code == kExitHtml)
        fprintf(stderr, "larkspan-get: %d (%s): %s%s, %lu blocks, about %s in %.2f s (%s)\n", code,
                ExitCodeWords(code), stored ? "to " : "from ", stored ? name : transfer.url, Blocks(),
                Amount(progress.kilobytes).c_str(), Seconds(elapsed), Rate(progress.kilobytes, elapsed).c_str());
    return code;
}

// A URL, tried again after a transient failure while tries are left, each
// wait twice the one before (at most 10 minutes). Its exit code.
int Fetch(LarkspanFunction larkspan, HWND window, const Options &options, const Transfer &transfer)
{
    double wait = options.retryDelay;
    for (unsigned attempt = 0;; attempt++) {
        bool again;
        int code = Attempt(larkspan, window, options, transfer, attempt < options.retries, &again);
        if (!again) return code;
        if (!options.quiet)
            fprintf(stderr, "larkspan-get: %d (%s): trying %s again in %g s (retry %u of %u)\n", code,
                    ExitCodeWords(code), transfer.url, wait, attempt + 1, options.retries);
        // A time limit may end the run while it waits.
        TimeLimitRelease();
        std::this_thread::sleep_for(std::chrono::milliseconds((long long)(wait * 1000)));
        wait = wait * 2 < 600 ? wait * 2 : 600;
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
    TimeLimitStart(options.maxTime, options.connectTimeout, options.transfers[0].url);

    LarkspanFunction larkspan = LoadLarkspan();
    int code = larkspan ? kExitStored : kExitNoLibrary;
    if (larkspan) {
        // Before a .part file is made, so that no moment leaves it behind.
        InterruptStart(options.keepPartial);
        progress.terminal = !options.quiet && LiveLineStart();
        DebugWatchStart(OnDebugString, NULL);
        HWND window = CreateProgressWindow();
        if (!window) fprintf(stderr, "larkspan-get: no progress window (error %lu); going on without one\n",
                             (unsigned long)GetLastError());
        // One after another; after a failure the rest are still tried, and
        // the first failure gives the exit code.
        for (const Transfer &transfer : options.transfers) {
            int result = Fetch(larkspan, window, options, transfer);
            if (code == kExitStored) code = result;
        }
        if (window) DestroyWindow(window);
        DebugWatchStop();
        LiveLineEnd();
    }
    TimeLimitStop();
    return code;
}
