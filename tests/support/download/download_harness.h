// Calls Larkspan the way its windowed callers do and records what it shows
// them: the result, the progress messages its window received and the
// debugger lines it wrote, all on the calling thread.
#ifndef TESTS_DOWNLOAD_HARNESS_H
#define TESTS_DOWNLOAD_HARNESS_H

#include <windows.h>

#include "files.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

struct Download {
    int result = -1;
    unsigned messages = 0;            // progress messages received
    bool messageParametersZero = true;
    std::vector<std::string> lines;   // debugger strings, in order
    DWORD error = 0;                  // GetLastError() right after the call
};

// Downloads `url` into `path` with a window of this thread's (or none).
Download RunDownload(const std::string &url, const std::string &path, bool withWindow = true);
// The same with raw arguments, for the null cases.
Download RunDownloadRaw(const char *url, const char *path, bool withWindow = true);

// Watches the debugger output again, after a test that replaced the watcher.
void RestoreDebugWatch();

// The KBytes figures of the progress lines, in order.
std::vector<unsigned long long> ProgressFigures(const Download &download);
// Debugger lines that are not progress lines.
std::vector<std::string> ErrorLines(const Download &download);
// Every download is checked: GetLastError after it names its first failure.
void ExpectErrorOfFirstFailureLine(const Download &download);

// A download on a worker thread to a window of the calling thread (the
// owner), as a windowed program runs it. The owner handles the window's
// messages only inside Finish, so a test can hold the download by not
// calling it. Several may share one owner thread.
class WorkerDownload {
public:
    WorkerDownload(const std::string &url, const std::string &path);
    ~WorkerDownload();  // finishes the download if the test did not
    WorkerDownload(const WorkerDownload &) = delete;
    WorkerDownload &operator=(const WorkerDownload &) = delete;

    // Progress messages the window has handled, and whether every one ran on
    // the owner thread.
    unsigned Handled() const { return handled_; }
    bool AllOnOwnerThread() const { return !offOwnerThread_; }
    // Progress lines the worker has written to the debugger output so far.
    unsigned LinesWritten() const { return linesWritten_; }
    void DestroyWindowNow();
    // Handles the owner thread's messages until the download has ended, and
    // says what it did.
    Download Finish();

    // Called by the window procedure on whichever thread runs it.
    void OnMessage(UINT message);

private:
    HWND window_ = NULL;
    DWORD owner_;
    std::string url_, path_;
    std::thread worker_;
    int result_ = -1;
    DWORD error_ = 0;
    std::vector<std::string> lines_;  // the worker's; read once it has ended
    std::atomic<unsigned> handled_{0};
    std::atomic<unsigned> linesWritten_{0};
    std::atomic<bool> offOwnerThread_{false};
    std::atomic<bool> done_{false};
    bool finished_ = false;
};

#endif
