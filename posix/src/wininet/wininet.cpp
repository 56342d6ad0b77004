// WinINet's handles, numbered from a counter: a session carries the agent name
// and proxy choice; a request is one HTTP transfer (http_transfer.h) whose
// response head is read with HttpQueryInfoA (http_headers.h). Handles may be
// closed from any thread, also while another thread's call is using them.
#include <wininet.h>
#include <winposix.h>

#include "errors.h"
#include "http_headers.h"
#include "http_transfer.h"
#include "text_convert.h"
#include "url.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// Every handle counts the calls that are using it. Closing a handle takes it
// out of the table at once, so that no new call finds it, and ends the calls
// in progress; its memory goes when the last of them has left. A request
// counts as a user of its session, so a session outlives its requests.
struct Handle {
    HINTERNET number = nullptr;  // what the caller holds; set under handleLock when opened
    bool isSession = false;
    int users = 0;        // under handleLock
    bool closed = false;  // under handleLock
};

struct Request;

struct Session : Handle {
    static const bool kIsSession = true;
    // Set when opened, read-only after.
    std::string agent;
    DWORD accessType = 0;
    std::string proxy;
    std::string proxyBypass;
    // Under handleLock: closing the session ends them.
    std::set<Request *> requests;
};

struct Request : Handle {
    static const bool kIsSession = false;
    Session *session = nullptr;  // set before the request is handed out, read-only after
    std::mutex callLock;         // one call at a time on a request
    Transfer transfer;           // under callLock, but for its cancel flag
};

std::mutex handleLock;
std::map<HINTERNET, Handle *> handles;  // the open ones, by the number the caller holds

// Handles are numbers from a counter, never reused, as window handles are:
// a handle kept after its close names nothing, even once another has been
// opened where its memory was. Multiples of 4, as Windows' handles are.
uintptr_t nextHandle = 0xCC0004;

// Numbers `handle` and puts it in the table (under handleLock).
HINTERNET OpenLocked(Handle *handle)
{
    handle->number = (HINTERNET)nextHandle;
    nextHandle += 4;
    handles[handle->number] = handle;
    return handle->number;
}

std::once_flag curlInitialised;
// WinINet's defaults; WinPosix_SetInternetTimeouts changes them for the process.
std::atomic<DWORD> connectTimeoutMs{60000};
std::atomic<DWORD> receiveTimeoutMs{30000};

void FreeRequest(Request *request)
{
    EndTransfer(&request->transfer);
    delete request;
}

// Finds an open handle of the kind asked for and counts the caller as its
// user; null when there is none.
Handle *Use(HINTERNET handle, bool session)
{
    std::lock_guard<std::mutex> hold(handleLock);
    auto found = handles.find(handle);
    if (found == handles.end() || found->second->isSession != session) return nullptr;
    found->second->users++;
    return found->second;
}

// A user leaves (under handleLock). A closed handle whose last user has left
// goes on `dead`, to be freed once the lock is released; a request that goes
// leaves its session.
void LeaveLocked(Handle *handle, std::vector<Handle *> *dead)
{
    if (--handle->users > 0 || !handle->closed) return;
    dead->push_back(handle);
    if (!handle->isSession) {
        Request *request = (Request *)handle;
        request->session->requests.erase(request);
        LeaveLocked(request->session, dead);
    }
}

void FreeHandles(const std::vector<Handle *> &dead)
{
    for (Handle *handle : dead) {
        if (handle->isSession) delete (Session *)handle;
        else FreeRequest((Request *)handle);
    }
}

void Leave(Handle *handle)
{
    std::vector<Handle *> dead;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        LeaveLocked(handle, &dead);
    }
    FreeHandles(dead);
}

// Closes a handle (under handleLock): out of the table, a call waiting in
// curl woken to end, a session's requests closed with it.
void CloseLocked(Handle *handle, std::vector<Handle *> *dead)
{
    handles.erase(handle->number);
    handle->closed = true;
    handle->users++;
    if (handle->isSession) {
        std::set<Request *> requests = ((Session *)handle)->requests;
        for (Request *request : requests)
            if (!request->closed) CloseLocked(request, dead);
    } else {
        CancelTransfer(&((Request *)handle)->transfer);
    }
    LeaveLocked(handle, dead);
}

void LockCall(Session *) {}
void UnlockCall(Session *) {}
void LockCall(Request *request) { request->callLock.lock(); }
void UnlockCall(Request *request) { request->callLock.unlock(); }

// An exported function's use of its handle, for the length of the call:
// finds the open handle of the kind asked for and counts the call as its
// user, takes a request's call lock, and on leaving gives both back.
template <typename Kind> class CallOn {
public:
    explicit CallOn(HINTERNET handle) : used_((Kind *)Use(handle, Kind::kIsSession))
    {
        if (used_) LockCall(used_);
    }
    ~CallOn()
    {
        if (!used_) return;
        UnlockCall(used_);
        Leave(used_);
    }
    CallOn(const CallOn &) = delete;
    CallOn &operator=(const CallOn &) = delete;
    Kind *get() const { return used_; }

private:
    Kind *used_;
};

// Runs `work` on the open handle of the kind asked for and gives back its
// error, ERROR_INVALID_HANDLE when there is no such handle. The handle is
// given back before the error is: the export sets the last error after all
// the bookkeeping, once.
template <typename Kind, typename Work> DWORD CallWith(HINTERNET handle, Work work)
{
    CallOn<Kind> call(handle);
    return call.get() ? work(call.get()) : (DWORD)ERROR_INVALID_HANDLE;
}

// An export's return: the last error set once, from what its work returned;
// a success leaves it alone.
BOOL Result(DWORD error)
{
    if (error) SetThreadLastError(error);
    return !error;
}

// InternetOpenUrlA with its session in use: the request in `*opened`, or
// the error. Only as the programs call it: no extra header lines, and
// INTERNET_FLAG_NO_AUTO_REDIRECT (they follow redirects themselves).
DWORD OpenRequest(Session *session, LPCSTR url, LPCSTR headers, DWORD flags, HINTERNET *opened)
{
    if (headers || !(flags & INTERNET_FLAG_NO_AUTO_REDIRECT)) return ERROR_NOT_SUPPORTED;
    if (!url) return ERROR_INVALID_PARAMETER;
    if (!HasPrefixNoCase(url, "http://") && !HasPrefixNoCase(url, "https://")) {
        bool hasScheme = strstr(url, "://") || strchr(url, ':');
        return hasScheme ? ERROR_INTERNET_UNRECOGNIZED_SCHEME : ERROR_INTERNET_INVALID_URL;
    }
    Request *request = new Request;
    TransferSettings settings = {session->agent.c_str(), session->accessType,   session->proxy.c_str(),
                                 session->proxyBypass.c_str(), connectTimeoutMs, receiveTimeoutMs};
    if (DWORD error = StartTransfer(&request->transfer, url, flags, settings)) {
        FreeRequest(request);
        return error;
    }
    // The request belongs to its session from here on, so that closing the
    // session ends it, and this call is its user until it is handed out.
    request->session = session;
    request->users = 1;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        session->users++;
        session->requests.insert(request);
        if (session->closed) CancelTransfer(&request->transfer);
    }
    DWORD failure = WaitForHeaders(&request->transfer);
    std::vector<Handle *> dead;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        // A close that came after the headers still ends the opening.
        if (!failure && request->transfer.cancelled) failure = ERROR_INTERNET_OPERATION_CANCELLED;
        if (failure) request->closed = true;
        else *opened = OpenLocked(request);
        LeaveLocked(request, &dead);
    }
    FreeHandles(dead);
    return failure;
}

// Text handed out as WinINet does: a buffer too small (or none) fails with
// the size needed, terminator included; a filled one says its length
// without it.
DWORD CopyText(const std::string &text, LPVOID buffer, LPDWORD bufferLength)
{
    if (!buffer || *bufferLength < text.size() + 1) {
        *bufferLength = (DWORD)text.size() + 1;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    *bufferLength = (DWORD)text.size();
    return 0;
}

// The value of field `name` number `index` among its namesakes (0 for the
// first), as WinINet numbers repeated fields.
bool NthHeader(const std::string &headers, const char *name, DWORD index, std::string *value)
{
    size_t at = 0;
    for (DWORD i = 0;; i++) {
        if (!NextHeader(headers, name, &at, value)) return false;
        if (i == index) return true;
    }
}

// HttpQueryInfoA with its request in use. A field asked for by name may be
// asked for by `index`, one of several of that name; the status and the
// raw block have only index 0.
DWORD QueryInfo(Request *request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index)
{
    if (!bufferLength) return ERROR_INVALID_PARAMETER;
    DWORD wanted = index ? *index : 0;
    const std::string &headers = TransferHeaders(&request->transfer);
    std::string value;
    const char *field = nullptr;
    switch (infoLevel & HTTP_QUERY_HEADER_MASK) {
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        if (wanted > 0) return ERROR_HTTP_HEADER_NOT_FOUND;
        value = headers;
        break;
    case HTTP_QUERY_STATUS_CODE:
        if (wanted > 0) return ERROR_HTTP_HEADER_NOT_FOUND;
        value = std::to_string(TransferStatus(&request->transfer));
        break;
    case HTTP_QUERY_CONTENT_LENGTH: field = "Content-Length"; break;
    case HTTP_QUERY_TRANSFER_ENCODING: field = "Transfer-Encoding"; break;
    case HTTP_QUERY_LOCATION: field = "Location"; break;
    default:
        return ERROR_HTTP_HEADER_NOT_FOUND;
    }
    if (field && !NthHeader(headers, field, wanted, &value)) return ERROR_HTTP_HEADER_NOT_FOUND;
    if (infoLevel & HTTP_QUERY_FLAG_NUMBER) {
        if (!buffer || *bufferLength < sizeof(DWORD)) {
            *bufferLength = sizeof(DWORD);
            return ERROR_INSUFFICIENT_BUFFER;
        }
        DWORD number = (DWORD)strtoul(value.c_str(), nullptr, 10);
        memcpy(buffer, &number, sizeof number);
        *bufferLength = sizeof(DWORD);
    } else if (DWORD error = CopyText(value, buffer, bufferLength)) {
        return error;
    }
    if (index) *index += 1;
    return 0;
}

}  // namespace

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD)
{
    std::call_once(curlInitialised, [] { curl_global_init(CURL_GLOBAL_ALL); });
    Session *session = new Session;
    session->isSession = true;
    session->agent = agent ? agent : "";
    session->accessType = accessType;
    session->proxy = proxy ? proxy : "";
    session->proxyBypass = proxyBypass ? proxyBypass : "";
    std::lock_guard<std::mutex> hold(handleLock);
    return OpenLocked(session);
}

HINTERNET WINAPI InternetOpenUrlA(HINTERNET handle, LPCSTR url, LPCSTR headers, DWORD, DWORD flags, DWORD_PTR)
{
    HINTERNET opened = nullptr;
    DWORD error = CallWith<Session>(handle, [&](Session *session) {
        return OpenRequest(session, url, headers, flags, &opened);
    });
    return error ? FailWith(error, (HINTERNET) nullptr) : opened;
}

BOOL WINAPI HttpQueryInfoA(HINTERNET handle, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index)
{
    return Result(CallWith<Request>(handle, [&](Request *request) {
        return QueryInfo(request, infoLevel, buffer, bufferLength, index);
    }));
}

BOOL WINAPI InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength)
{
    if (!bufferLength) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (option != INTERNET_OPTION_URL) return FailWith(ERROR_INTERNET_INVALID_OPTION, FALSE);
    return Result(CallWith<Request>(handle, [&](Request *request) {
        return CopyText(TransferUrl(&request->transfer), buffer, bufferLength);
    }));
}

// A Location taken against the address it came from, for the programs,
// which follow redirects themselves (INTERNET_FLAG_NO_AUTO_REDIRECT). What is escaped
// is WinINet's choice: by default, bytes that may not stand in a path, there
// only; with ICU_ENCODE_SPACES_ONLY, spaces everywhere; with ICU_NO_ENCODE,
// nothing. The sizes are those of text handed out (CopyText).
BOOL WINAPI InternetCombineUrlA(LPCSTR baseUrl, LPCSTR relativeUrl, LPSTR buffer, LPDWORD bufferLength, DWORD flags)
{
    const DWORD known = ICU_NO_ENCODE | ICU_ENCODE_SPACES_ONLY;
    if (!baseUrl || !relativeUrl || !bufferLength || (flags & ~known) || (flags & known) == known)
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    UrlEscape escape = flags & ICU_NO_ENCODE ? kEscapeNothing
                     : flags & ICU_ENCODE_SPACES_ONLY ? kEscapeSpaces : kEscapeUnsafe;
    std::string combined;
    if (!ResolveUrl(baseUrl, relativeUrl, escape, &combined)) return FailWith(ERROR_INTERNET_INVALID_URL, FALSE);
    return Result(CopyText(combined, buffer, bufferLength));
}

// A close from another thread ends a read in progress, which then fails with
// ERROR_INTERNET_OPERATION_CANCELLED; the request's memory waits for it.
BOOL WINAPI InternetReadFile(HINTERNET handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead)
{
    return Result(CallWith<Request>(handle, [&](Request *request) {
        return ReadTransfer(&request->transfer, buffer, bytesToRead, bytesRead);
    }));
}

BOOL WINAPI InternetCloseHandle(HINTERNET handle)
{
    std::vector<Handle *> dead;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        auto found = handles.find(handle);
        if (found == handles.end()) return FailWith(ERROR_INVALID_HANDLE, FALSE);
        CloseLocked(found->second, &dead);
    }
    FreeHandles(dead);
    return TRUE;
}

DWORD WinPosix_OpenInternetHandles(void)
{
    std::lock_guard<std::mutex> hold(handleLock);
    return (DWORD)handles.size();
}

void WinPosix_SetInternetTimeouts(DWORD connectMs, DWORD receiveMs)
{
    if (connectMs) connectTimeoutMs = connectMs;
    if (receiveMs) receiveTimeoutMs = receiveMs;
}
