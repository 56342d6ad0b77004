// The one export: download a URL into a file, block by block, telling the
// caller's window before every read and the debugger about everything. The
// URL is opened in open_url.cpp and its head judged in response.cpp; here
// the body is read into the file, and the door sets the caller's last error.
#include <Larkspan.h>
#include <wininet.h>

#include "open_url.h"
#include "report.h"
#include "response.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kAgent[] = "Larkspan";
const DWORD kBlockSize = 32000;
// The file's stream buffer is one block long: a block then costs the runtime
// one write (writes of whole buffers go straight from the block), where its
// default buffer of a few KiB costs two for every block.
const size_t kStreamBufferSize = kBlockSize;

void ReportProgress(unsigned long long received)
{
    char message[kMessageSize];
    snprintf(message, sizeof message, LARKSPAN_PROGRESS_PREFIX "%llu KBytes", received / 1000);
    OutputDebugStringA(message);
}

// A server's page instead of the file: a block that starts like HTML. The
// test is deliberately narrow (exact case, no leading space); callers treat
// it as a hint, not a verdict.
bool LooksLikeHtml(const char *block, DWORD length)
{
    static const char *const prefixes[] = {"<!DOCTYPE", "<HTM", "<htm"};
    for (const char *prefix : prefixes) {
        size_t prefixLength = strlen(prefix);
        if (length >= prefixLength && memcmp(block, prefix, prefixLength) == 0) return true;
    }
    return false;
}

// A failed write as the runtime left it. The runtime may have failed a
// write without a system call failing (a disk that took part of a block
// answers a short write, not an error), and then the last error says
// nothing: the runtime's own errno is told instead. The last error is
// cleared before the write, so that what it holds after is the write's.
DWORD WriteError()
{
    DWORD error = GetLastError();
    if (error != ERROR_SUCCESS) return error;
    return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
}

// Reads the body to its end into `file`, counting what arrives in
// *received; *html says whether a block began like an HTML page. 0, or the
// error of the failure written.
DWORD TransferBody(Failures *failures, HINTERNET request, FILE *file, HWND notifyWindow,
                   unsigned long long *received, bool *html)
{
    for (;;) {
        char *block = (char *)malloc(kBlockSize);
        if (!block) return Fail(failures, kStepMemory, ERROR_NOT_ENOUGH_MEMORY);
        ReportProgress(*received);
        if (notifyWindow) SendMessageA(notifyWindow, LARKSPAN_PROGRESS_MESSAGE, 0, 0);
        DWORD length = 0;
        DWORD error = InternetReadFile(request, block, kBlockSize, &length) ? 0 : GetLastError();
        // A length past the block would have the block read past its end.
        if (!error && length > kBlockSize) error = ERROR_INTERNET_INTERNAL_ERROR;
        if (error) {
            free(block);
            return Fail(failures, kStepRead, error);
        }
        if (length == 0) {
            free(block);
            return 0;
        }
        *received += length;
        if (LooksLikeHtml(block, length)) *html = true;
        SetLastError(ERROR_SUCCESS);
        error = fwrite(block, 1, length, file) == length ? 0 : WriteError();
        free(block);
        if (error) return Fail(failures, kStepWrite, error);
    }
}

// Closes the file, saying whether everything written to it is on disk. A
// runtime may keep a failed write to itself until the stream is closed, and
// some runtimes' fclose then answers success although its own last flush
// failed (Wine's does): so the stream is flushed, and its error state read,
// before it is closed. 0, or the error of the failure written.
DWORD CloseFile(Failures *failures, FILE *file)
{
    SetLastError(ERROR_SUCCESS);
    if (fflush(file) != 0 || ferror(file)) {
        DWORD error = WriteError();
        fclose(file);
        return Fail(failures, kStepFlush, error);
    }
    if (fclose(file) != 0) return Fail(failures, kStepCloseFile, GetLastError());
    return 0;
}

// Whether the body that arrived is the one the head announced. 0, or the
// error of the failure written.
DWORD CheckReceived(Failures *failures, const Expected &expected, unsigned long long received)
{
    if (expected.framing == kFramedByLength && received < expected.length) {
        // The connection ended early but cleanly: the file is cut short.
        return FailIncomplete(failures, received, expected.length);
    }
    if (expected.framing == kFramedByLength && received > expected.length) {
        // More than announced: the platform did not read the length as we
        // did (Wine ignores one of 32 digits or more and reads to the close),
        // so what is stored is not the body the head described.
        return Fail(failures, kStepLength, ERROR_HTTP_INVALID_SERVER_RESPONSE);
    }
#ifdef _WIN32
    // A body without a length that ended before its first byte: Wine's
    // WinINet gives the same for a head cut after some of its fields (see
    // response.cpp), and for a chunked head cut before its empty line it
    // reads the end of the connection as the last chunk. Nothing shows such
    // a reply whole, so an empty body is believed only with a length.
    if (expected.framing != kFramedByLength && received == 0)
        return Fail(failures, kStepQuery, ERROR_HTTP_INVALID_SERVER_RESPONSE);
#endif
    return 0;
}

// From an open request to a closed file: head, file, body. 0, or the error
// of the first failure written; *html as TransferBody says.
DWORD Store(Failures *failures, HINTERNET request, const char *localPath, HWND notifyWindow, bool *html)
{
    Expected expected;
    if (DWORD error = CheckResponse(failures, request, &expected)) return error;

    char *streamBuffer = (char *)malloc(kStreamBufferSize);
    if (!streamBuffer) return Fail(failures, kStepMemory, ERROR_NOT_ENOUGH_MEMORY);
    // Binary, so that the body is stored byte for byte on every platform.
    FILE *file = fopen(localPath, "w+b");
    if (!file) {
        DWORD error = GetLastError();
        free(streamBuffer);
        return Fail(failures, kStepFile, error);
    }
    setvbuf(file, streamBuffer, _IOFBF, kStreamBufferSize);
    unsigned long long received = 0;
    DWORD error = TransferBody(failures, request, file, notifyWindow, &received, html);
    // After a failed transfer, whose failure has been written, the file is
    // only closed.
    if (error) fclose(file);
    else error = CloseFile(failures, file);
    free(streamBuffer);
    return error ? error : CheckReceived(failures, expected, received);
}

// The whole call: session, URL, file, closing. 0, or the error of the first
// failure written.
DWORD Download(Failures *failures, const char *url, const char *localPath, HWND notifyWindow, bool *html)
{
    if (!url || !localPath) return Fail(failures, kStepParameter, ERROR_INVALID_PARAMETER);

    HINTERNET session = InternetOpenA(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!session) return Fail(failures, kStepOpen, GetLastError());

    HINTERNET request = NULL;
    DWORD error = OpenUrl(failures, session, url, &request);
    if (!error) {
        error = Store(failures, request, localPath, notifyWindow, html);
        if (!InternetCloseHandle(request)) Fail(failures, kStepClose, GetLastError());
    }
    if (!InternetCloseHandle(session)) Fail(failures, kStepClose, GetLastError());
    return error;
}

}  // namespace

// The door: the thread's last error is set here, once, to what the caller is
// told: the first failure's code after a failure, 0 otherwise (a handle that
// would not close after a stored body changes nothing).
extern "C" int WINAPI Larkspan(const char *url, const char *localPath, HWND notifyWindow, HWND spareWindow)
{
    (void)spareWindow;
    Failures failures = {false, 0};
    bool html = false;
    DWORD error = Download(&failures, url, localPath, notifyWindow, &html);
    int result = error ? LARKSPAN_FAILED : html ? LARKSPAN_HTML : LARKSPAN_OK;
    SetLastError(error ? failures.first : ERROR_SUCCESS);
    return result;
}
