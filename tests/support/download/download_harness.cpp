#include "download_harness.h"

#include <Larkspan.h>

#include "debugwatch.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string.h>

namespace {

thread_local std::vector<std::string> *threadLines;
thread_local std::atomic<unsigned> *threadProgressLines;
thread_local unsigned threadMessages;
thread_local bool threadParametersZero;

void OnDebugString(void *, const char *text)
{
    if (threadLines) threadLines->push_back(text);
    if (threadProgressLines && strncmp(text, LARKSPAN_PROGRESS_PREFIX, strlen(LARKSPAN_PROGRESS_PREFIX)) == 0) ++*threadProgressLines;
}

LRESULT CALLBACK ProbeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LARKSPAN_PROGRESS_MESSAGE) {
        threadMessages++;
        if (wParam != 0 || lParam != 0) threadParametersZero = false;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

const char kProbeClass[] = "LarkspanTestProbe";
const char kWorkerProbeClass[] = "LarkspanTestWorkerProbe";
const UINT kWorkerDone = WM_APP + 1;

// The window's download: given with WM_CREATE, looked up for every message.
std::mutex workerWindowsLock;
std::map<HWND, WorkerDownload *> workerWindows;

LRESULT CALLBACK WorkerProbeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WorkerDownload *download = nullptr;
    {
        std::lock_guard<std::mutex> hold(workerWindowsLock);
        if (message == WM_CREATE)
            workerWindows[window] = (WorkerDownload *)((CREATESTRUCTA *)lParam)->lpCreateParams;
        auto found = workerWindows.find(window);
        if (found != workerWindows.end()) download = found->second;
        if (message == WM_DESTROY) workerWindows.erase(window);
    }
    if (download) download->OnMessage(message);
    return DefWindowProcA(window, message, wParam, lParam);
}

void Prepare()
{
    static std::once_flag once;
    std::call_once(once, [] {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = ProbeWindowProc;
        windowClass.hInstance = GetModuleHandleA(NULL);
        windowClass.lpszClassName = kProbeClass;
        RegisterClassA(&windowClass);
        windowClass.lpfnWndProc = WorkerProbeWindowProc;
        windowClass.lpszClassName = kWorkerProbeClass;
        RegisterClassA(&windowClass);
        DebugWatchStart(OnDebugString, nullptr);
    });
}

}  // namespace

void RestoreDebugWatch()
{
    Prepare();
    DebugWatchStart(OnDebugString, nullptr);
}

Download RunDownloadRaw(const char *url, const char *path, bool withWindow)
{
    Prepare();
    Download download;
    threadLines = &download.lines;
    threadMessages = 0;
    threadParametersZero = true;
    HWND window = NULL;
    if (withWindow)
        window = CreateWindowExA(0, kProbeClass, "probe", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL,
                                 GetModuleHandleA(NULL), NULL);
    download.result = Larkspan(url, path, window, NULL);
    download.error = GetLastError();
    download.messages = threadMessages;
    download.messageParametersZero = threadParametersZero;
    if (window) DestroyWindow(window);
    threadLines = nullptr;
    ExpectErrorOfFirstFailureLine(download);
    return download;
}

Download RunDownload(const std::string &url, const std::string &path, bool withWindow)
{
    return RunDownloadRaw(url.c_str(), path.c_str(), withWindow);
}

WorkerDownload::WorkerDownload(const std::string &url, const std::string &path)
    : owner_(GetCurrentThreadId()), url_(url), path_(path)
{
    Prepare();
    window_ = CreateWindowExA(0, kWorkerProbeClass, "worker probe", WS_OVERLAPPED, 0, 0, 0, 0, NULL, NULL,
                              GetModuleHandleA(NULL), this);
    // The worker keeps its own copy of the handle: the owner forgets its
    // copy when it destroys the window.
    worker_ = std::thread([this, window = window_] {
        threadLines = &lines_;
        threadProgressLines = &linesWritten_;
        result_ = Larkspan(url_.c_str(), path_.c_str(), window, NULL);
        error_ = GetLastError();
        threadLines = nullptr;
        threadProgressLines = nullptr;
        // Fails once the window is gone; then nobody waits for it.
        PostMessageA(window, kWorkerDone, 0, 0);
    });
}

WorkerDownload::~WorkerDownload()
{
    if (!finished_) Finish();
    DestroyWindowNow();
}

void WorkerDownload::OnMessage(UINT message)
{
    if (message == LARKSPAN_PROGRESS_MESSAGE) {
        handled_++;
        if (GetCurrentThreadId() != owner_) offOwnerThread_ = true;
    } else if (message == kWorkerDone) {
        done_ = true;
    }
}

void WorkerDownload::DestroyWindowNow()
{
    if (window_) DestroyWindow(window_);
    window_ = NULL;
}

Download WorkerDownload::Finish()
{
    MSG message;
    // A window that is gone (destroyed, or its thread ended) gets no message
    // from the worker, so there is nothing to wait for.
    while (window_ && IsWindow(window_) && !done_ && GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    worker_.join();
    finished_ = true;
    Download download;
    download.result = result_;
    download.messages = handled_;
    download.lines = lines_;
    download.error = error_;
    ExpectErrorOfFirstFailureLine(download);
    return download;
}

std::vector<unsigned long long> ProgressFigures(const Download &download)
{
    const std::string head = LARKSPAN_PROGRESS_PREFIX;
    std::vector<unsigned long long> figures;
    for (const std::string &line : download.lines)
        if (line.compare(0, head.size(), head) == 0) figures.push_back(std::stoull(line.substr(head.size())));
    return figures;
}

std::vector<std::string> ErrorLines(const Download &download)
{
    std::vector<std::string> errors;
    for (const std::string &line : download.lines)
        if (line.compare(0, strlen(LARKSPAN_PROGRESS_PREFIX), LARKSPAN_PROGRESS_PREFIX) != 0) errors.push_back(line);
    return errors;
}

// What GetLastError must say after a call: 0 unless it failed, and then the
// code of the first failure line ("LABEL: HEX"; an HTTP status as
// LARKSPAN_ERROR_HTTP_STATUS with the status; a body cut short as 12030).
// Checked after every download of every suite.
void ExpectErrorOfFirstFailureLine(const Download &download)
{
    std::vector<std::string> errors = ErrorLines(download);
    if (download.result != LARKSPAN_FAILED) {
        EXPECT_EQ(0u, download.error) << "GetLastError after result " << download.result;
        return;
    }
    if (errors.empty()) return;  // a test that watches the debugger output itself
    const std::string &line = errors[0];
    DWORD expected;
    const std::string status = LARKSPAN_LABEL_STATUS ": ", incomplete = LARKSPAN_LABEL_INCOMPLETE ": ";
    if (line.compare(0, status.size(), status) == 0)
        expected = LARKSPAN_ERROR_HTTP_STATUS | (DWORD)std::stoul(line.substr(status.size()));
    else if (line.compare(0, incomplete.size(), incomplete) == 0)
        expected = 12030;
    else
        expected = (DWORD)std::stoul(line.substr(line.rfind(": ") + 2), nullptr, 16);
    EXPECT_EQ(expected, download.error) << "GetLastError after " << line;
}
