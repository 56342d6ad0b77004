// WinINet over libcurl: a session carries the agent name and proxy choice; a
// request is one curl easy handle driven by a multi handle of its own, so that
// each call does exactly as much network work as the caller asked for.
//
// InternetOpenUrlA returns once the final response's headers are in.
// InternetReadFile fills the caller's buffer straight from curl's write
// callback and returns when it is full or the body has ended. What curl brings
// beyond the caller's buffer waits in a spill buffer of at most one receive's
// worth; beyond that curl is paused until the spill is empty, so memory stays
// bounded whatever the body's size.
#include <wininet.h>
#include <winposix.h>

#include "faults.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
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
    bool isSession = false;
    int users = 0;        // under handleLock
    bool closed = false;  // under handleLock
};

struct Request;

struct Session : Handle {
    std::string agent;
    DWORD accessType = 0;
    std::string proxy;
    std::string proxyBypass;
    std::set<Request *> requests;  // under handleLock; closing the session ends them
};

struct Request : Handle {
    Session *session = nullptr;
    std::atomic<bool> cancelled{false};  // closed while a call may be waiting in curl
    std::mutex callLock;                 // one call at a time on a request

    CURL *easy = nullptr;
    CURLM *multi = nullptr;
    curl_slist *requestHeaders = nullptr;

    std::string headers;        // the latest response's header block, CRLF line ends
    bool headersFinal = false;  // the response whose body we will read has its headers
    size_t trailerBytes = 0;    // trailer fields after a chunked body, counted, not kept
    bool done = false;          // curl has finished the transfer
    CURLcode result = CURLE_OK;
    DWORD failure = 0;          // a failure of the layer's own (time-out, downgrade)

    char *target = nullptr;     // the caller's buffer during InternetReadFile
    size_t targetSpace = 0;
    size_t targetFilled = 0;
    std::vector<char> spill;
    size_t spillStart = 0;
    bool paused = false;
    unsigned long long bodyDelivered = 0;  // body bytes curl has handed over so far

    bool sawHttps = false;
    bool stallClockRunning = false;
    ULONGLONG lastActivity = 0;
    curl_off_t bytesSeen = 0;   // of the current response, the bodies curl skips included
    DWORD receiveTimeout = 0;
};

// No real response needs more header than this; a server that sends more is
// refused rather than buffered.
const size_t kMaxHeaderBlock = 256 * 1024;

// curl's receive buffer. Its default of 16 KiB costs a receive, a poll and an
// acknowledgement for every 16 KiB of body; a larger one lets one receive take
// what has piled up in the socket meanwhile.
const long kReceiveBuffer = 512 * 1024;

// The most the spill holds before curl is paused: what one receive brings
// beyond the caller's buffer. Pausing is costly (curl keeps a copy of the rest
// of its buffer and hands it over again when resumed), so the spill is large
// enough that a resumed receive never pauses again.
const size_t kMaxSpill = kReceiveBuffer + CURL_MAX_WRITE_SIZE;

std::mutex handleLock;
std::set<Handle *> handles;  // the open ones

std::once_flag curlInitialised;
std::once_flag timeoutsRead;
std::atomic<DWORD> connectTimeoutMs{60000};
std::atomic<DWORD> receiveTimeoutMs{30000};

void ReadTimeoutEnvironment()
{
    std::call_once(timeoutsRead, [] {
        if (const char *value = getenv("WINPOSIX_CONNECT_TIMEOUT_MS")) connectTimeoutMs = (DWORD)strtoul(value, nullptr, 10);
        if (const char *value = getenv("WINPOSIX_RECEIVE_TIMEOUT_MS")) receiveTimeoutMs = (DWORD)strtoul(value, nullptr, 10);
        if (connectTimeoutMs == 0) connectTimeoutMs = 60000;
        if (receiveTimeoutMs == 0) receiveTimeoutMs = 30000;
    });
}

bool StartsWithNoCase(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// The value of the next field called `name` in a response's block, starting
// at offset `*at` (0 for the first field) and moving `*at` past it; false
// when there is no further one.
bool NextHeader(const std::string &block, const char *name, size_t *at, std::string *value)
{
    size_t start = *at ? *at : block.find("\r\n");
    size_t nameLength = strlen(name);
    while (start != std::string::npos && start + 2 < block.size()) {
        start += 2;
        size_t end = block.find("\r\n", start);
        if (end == std::string::npos) end = block.size();
        if (end - start > nameLength && block[start + nameLength] == ':' &&
            strncasecmp(block.c_str() + start, name, nameLength) == 0) {
            size_t first = block.find_first_not_of(" \t", start + nameLength + 1);
            size_t last = block.find_last_not_of(" \t", end - 1);
            *value = first <= last && first < end ? block.substr(first, last - first + 1) : std::string();
            *at = end;
            return true;
        }
        start = end;
    }
    *at = std::string::npos;
    return false;
}

bool FindHeader(const std::string &block, const char *name, std::string *value)
{
    size_t at = 0;
    return NextHeader(block, name, &at, value);
}

// Where a redirect leads: curl takes the first Location that is not empty,
// and follows none when there is no such field.
bool FindRedirect(const std::string &block, std::string *location)
{
    size_t at = 0;
    while (NextHeader(block, "Location", &at, location))
        if (!location->empty()) return true;
    return false;
}

// Content-Length fields that disagree (two fields, or a list in one, with
// different numbers) leave the body's end in doubt: the response is refused
// rather than cut where one of them says.
bool LengthsAgree(const std::string &block)
{
    std::string value, first;
    bool haveFirst = false;
    size_t at = 0;
    while (NextHeader(block, "Content-Length", &at, &value)) {
        size_t start = 0;
        while (start <= value.size()) {
            size_t comma = value.find(',', start);
            if (comma == std::string::npos) comma = value.size();
            std::string item = value.substr(start, comma - start);
            item.erase(0, item.find_first_not_of(" \t"));
            item.erase(item.find_last_not_of(" \t") + 1);
            if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos)
                item.erase(0, std::min(item.find_first_not_of('0'), item.size() - 1));
            if (item.empty()) {
                // "5," says no more than "5".
            } else if (!haveFirst) {
                first = item;
                haveFirst = true;
            } else if (item != first) {
                return false;
            }
            start = comma + 1;
        }
    }
    return true;
}

void Touch(Request *request)
{
    request->lastActivity = GetTickCount64();
}

// Called before each request is sent, the redirected ones included: a secure
// transfer never continues over plain HTTP, and the stall clock starts. The
// header block starts afresh with each request, so that a reply without one
// (an HTTP/0.9 one) is told from a refused redirect.
int OnPrerequest(void *context, char *, char *, int, int)
{
    Request *request = (Request *)context;
    char *url = nullptr;
    curl_easy_getinfo(request->easy, CURLINFO_EFFECTIVE_URL, &url);
    if (url && StartsWithNoCase(url, "https:")) {
        request->sawHttps = true;
    } else if (request->sawHttps) {
        request->failure = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
        return CURL_PREREQFUNC_ABORT;
    }
    request->headers.clear();
    request->bytesSeen = 0;
    request->stallClockRunning = true;
    Touch(request);
    return CURL_PREREQFUNC_OK;
}

// Called for each new connection, before it connects: the connect time-out
// covers what follows until the request goes out. A redirect to another
// server is the case: the stall clock ran while the redirect was read.
int OnNewSocket(void *context, curl_socket_t, curlsocktype)
{
    Request *request = (Request *)context;
    request->stallClockRunning = false;
    return CURL_SOCKOPT_OK;
}

size_t OnHeader(char *data, size_t size, size_t count, void *context)
{
    Request *request = (Request *)context;
    size_t length = size * count;
    Touch(request);
    if (request->headersFinal) {
        // Trailer fields after a chunked body: they describe the body, they
        // are not headers of the response, and a length among them is not one.
        request->trailerBytes += length;
        if (request->trailerBytes > kMaxHeaderBlock) {
            request->failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
            return 0;
        }
        return length;
    }
    std::string line(data, length);
    if (line.compare(0, 5, "HTTP/") == 0) request->headers.clear();
    if (request->headers.size() + length > kMaxHeaderBlock) {
        request->failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
        return 0;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    // curl ends the header block at any line that starts with CR, whatever
    // follows on it; so does the layer, or the two would disagree about
    // which fields the response has.
    if (!line.empty() && line[0] == '\r') line.clear();
    request->headers += line;
    request->headers += "\r\n";
    if (line.empty()) {
        if (!LengthsAgree(request->headers)) {
            request->failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
            return 0;
        }
        // The end of one response's headers. Informational responses and
        // redirects that curl will follow are not the response to read. The
        // stall clock keeps running while curl reads a redirect's body.
        long status = 0;
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
        std::string location;
        bool followed = status >= 300 && status < 400 && status != 304 && FindRedirect(request->headers, &location);
        if (status >= 200 && !followed) request->headersFinal = true;
    }
    return length;
}

size_t OnBody(char *data, size_t size, size_t count, void *context)
{
    Request *request = (Request *)context;
    size_t length = size * count;
    request->headersFinal = true;
    request->bodyDelivered += length;
    Touch(request);
    size_t direct = std::min(length, request->targetSpace - request->targetFilled);
    if (direct) {
        memcpy(request->target + request->targetFilled, data, direct);
        request->targetFilled += direct;
    }
    if (direct < length) {
        // What the caller's buffer cannot take waits in the spill. curl
        // reads on while the socket has data, so once the spill holds a
        // receive's worth curl is paused: it keeps the rest of its buffer and
        // hands it over when resumed, which the spill, empty by then, takes
        // whole. Pausing as soon as the caller's buffer is full would make
        // curl copy what it keeps back once more on every resume.
        if (direct == 0 && request->spill.size() + length > kMaxSpill) {
            request->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        // Reserved whole at once: growing step by step would copy and touch
        // fresh memory several times over.
        if (request->spill.capacity() < kMaxSpill) request->spill.reserve(kMaxSpill);
        request->spill.insert(request->spill.end(), data + direct, data + length);
    }
    return length;
}

DWORD ErrorFromCurl(Request *request, CURLcode code)
{
    if (request->failure) return request->failure;
    long osError = 0;
    switch (code) {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL: {
        // The URL's own scheme was checked before the request went out: this
        // is a redirect to a scheme that is not allowed here, or a reply that
        // is not HTTP at all (HTTP/0.9, or a status line curl can't read).
        std::string location;
        if (request->headers.empty()) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        if (!FindRedirect(request->headers, &location)) return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
        if (request->sawHttps && StartsWithNoCase(location.c_str(), "http:")) return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
        return ERROR_HTTP_REDIRECT_FAILED;
    }
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST: return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT: return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case CURLE_TOO_MANY_REDIRECTS: return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_BAD_CONTENT_ENCODING: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PEER_FAILED_VERIFICATION: return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_OUT_OF_MEMORY:
        // curl refuses a header line past its limit (100 KiB) as out of
        // memory: while the headers are read, that is the likely cause.
        return request->headersFinal ? ERROR_NOT_ENOUGH_MEMORY : ERROR_HTTP_INVALID_SERVER_RESPONSE;
#if LIBCURL_VERSION_NUM >= 0x080600
    case CURLE_TOO_LARGE: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
#endif
    case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        curl_easy_getinfo(request->easy, CURLINFO_OS_ERRNO, &osError);
        return osError == ECONNRESET ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    default: return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

// Runs the transfer until `enough` holds, the transfer ends, nothing has
// arrived for the receive time-out, or the handle is closed. Returns the
// error that ended it early, or 0.
template <typename Enough> DWORD Pump(Request *request, Enough enough)
{
    while (!request->done && !enough()) {
        if (request->cancelled) return ERROR_INTERNET_OPERATION_CANCELLED;
        int running = 0;
        unsigned long long deliveredBefore = request->bodyDelivered;
        CURLMcode status = curl_multi_perform(request->multi, &running);
        if (status != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(request->multi, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                request->done = true;
                request->result = message->data.result;
            }
        }
        if (request->done || enough()) break;
        // Bytes of a body that curl reads but does not hand over (a followed
        // redirect's) are activity too.
        curl_off_t bytes = 0;
        curl_easy_getinfo(request->easy, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
        if (bytes != request->bytesSeen) {
            request->bytesSeen = bytes;
            Touch(request);
        }
        // A receive that filled curl's whole buffer has likely left more in
        // the socket: read again at once instead of asking poll first.
        if (request->bodyDelivered - deliveredBefore >= (unsigned long long)kReceiveBuffer) continue;
        ULONGLONG now = GetTickCount64();
        if (request->stallClockRunning && now - request->lastActivity >= request->receiveTimeout) {
            request->failure = ERROR_INTERNET_TIMEOUT;
            return ERROR_INTERNET_TIMEOUT;
        }
        ULONGLONG left = request->stallClockRunning ? request->receiveTimeout - (now - request->lastActivity) : 1000;
        // A close from another thread wakes this poll (curl_multi_wakeup).
        curl_multi_poll(request->multi, nullptr, 0, (int)std::min<ULONGLONG>(left, 1000), nullptr);
    }
    return 0;
}

void FreeRequest(Request *request)
{
    if (request->multi && request->easy) curl_multi_remove_handle(request->multi, request->easy);
    if (request->easy) curl_easy_cleanup(request->easy);
    if (request->multi) curl_multi_cleanup(request->multi);
    curl_slist_free_all(request->requestHeaders);
    delete request;
}

// Finds an open handle of the kind asked for and counts the caller as its
// user; null when there is none.
Handle *Use(HINTERNET handle, bool session)
{
    std::lock_guard<std::mutex> hold(handleLock);
    auto found = handles.find((Handle *)handle);
    if (found == handles.end() || (*found)->isSession != session) return nullptr;
    (*found)->users++;
    return *found;
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
    handles.erase(handle);
    handle->closed = true;
    handle->users++;
    if (handle->isSession) {
        std::set<Request *> requests = ((Session *)handle)->requests;
        for (Request *request : requests)
            if (!request->closed) CloseLocked(request, dead);
    } else {
        Request *request = (Request *)handle;
        request->cancelled = true;
        curl_multi_wakeup(request->multi);
    }
    LeaveLocked(handle, dead);
}

bool AddRequestHeaders(Request *request, LPCSTR headers, DWORD length, DWORD flags)
{
    std::string all;
    if (headers) all.assign(headers, length == (DWORD)-1 ? strlen(headers) : length);
    if (flags & INTERNET_FLAG_RELOAD) {
        // There is no local cache here; a reload still tells the caches on the way.
        all += "\r\nCache-Control: no-cache\r\nPragma: no-cache";
    }
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find_first_of("\r\n", start);
        if (end == std::string::npos) end = all.size();
        if (end > start) {
            curl_slist *grown = curl_slist_append(request->requestHeaders, all.substr(start, end - start).c_str());
            if (!grown) return false;
            request->requestHeaders = grown;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

HINTERNET WINAPI InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD)
{
    if (WinPosixFaulted("InternetOpenA", agent)) return nullptr;
    std::call_once(curlInitialised, [] { curl_global_init(CURL_GLOBAL_ALL); });
    ReadTimeoutEnvironment();
    Session *session = new Session;
    session->isSession = true;
    session->agent = agent ? agent : "";
    session->accessType = accessType;
    session->proxy = proxy ? proxy : "";
    session->proxyBypass = proxyBypass ? proxyBypass : "";
    std::lock_guard<std::mutex> hold(handleLock);
    handles.insert(session);
    return session;
}

namespace {

// InternetOpenUrlA with its session in use.
HINTERNET OpenUrl(Session *session, LPCSTR url, LPCSTR headers, DWORD headersLength, DWORD flags)
{
    if (!url) return WinPosixFail(ERROR_INVALID_PARAMETER, nullptr);
    if (!StartsWithNoCase(url, "http://") && !StartsWithNoCase(url, "https://")) {
        bool hasScheme = strstr(url, "://") || strchr(url, ':');
        return WinPosixFail(hasScheme ? ERROR_INTERNET_UNRECOGNIZED_SCHEME : ERROR_INTERNET_INVALID_URL, nullptr);
    }
    Request *request = new Request;
    request->easy = curl_easy_init();
    request->multi = curl_multi_init();
    request->receiveTimeout = receiveTimeoutMs;
    if (!request->easy || !request->multi || !AddRequestHeaders(request, headers, headersLength, flags)) {
        FreeRequest(request);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    CURL *easy = request->easy;
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, session->agent.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->requestHeaders);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, StartsWithNoCase(url, "https:") ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    // Tests add their own authority; verification itself stays on.
    if (const char *authorities = getenv("WINPOSIX_CA_FILE")) curl_easy_setopt(easy, CURLOPT_CAINFO, authorities);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, (long)connectTimeoutMs.load());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, request);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, request);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, request);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnNewSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, request);
    if (session->accessType == INTERNET_OPEN_TYPE_DIRECT) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    } else if (session->accessType == INTERNET_OPEN_TYPE_PROXY) {
        curl_easy_setopt(easy, CURLOPT_PROXY, session->proxy.c_str());
        curl_easy_setopt(easy, CURLOPT_NOPROXY, session->proxyBypass.c_str());
    }
    // INTERNET_OPEN_TYPE_PRECONFIG: curl takes the proxy variables of the environment.
    if (curl_multi_add_handle(request->multi, easy) != CURLM_OK) {
        FreeRequest(request);
        SetLastError(ERROR_INTERNET_INTERNAL_ERROR);
        return nullptr;
    }
    // The request belongs to its session from here on, so that closing the
    // session ends it, and this call is its user until it is handed out.
    request->session = session;
    request->users = 1;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        session->users++;
        session->requests.insert(request);
        if (session->closed) request->cancelled = true;
    }
    Touch(request);
    DWORD failure = Pump(request, [request] { return request->headersFinal; });
    // curl may have read on into the body, even to a failure there: that
    // failure belongs to the read that reaches it, after the bytes before it.
    if (!failure && request->done && request->result != CURLE_OK && !request->headersFinal)
        failure = ErrorFromCurl(request, request->result);
    if (!failure && !request->headersFinal) failure = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    std::vector<Handle *> dead;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        if (!failure && request->cancelled) failure = ERROR_INTERNET_OPERATION_CANCELLED;
        if (failure) request->closed = true;
        else handles.insert(request);
        LeaveLocked(request, &dead);
    }
    FreeHandles(dead);
    if (failure) return WinPosixFail(failure, nullptr);
    return request;
}

}  // namespace

HINTERNET WINAPI InternetOpenUrlA(HINTERNET handle, LPCSTR url, LPCSTR headers, DWORD headersLength, DWORD flags,
                                  DWORD_PTR)
{
    if (WinPosixFaulted("InternetOpenUrlA", url)) return nullptr;
    Session *session = (Session *)Use(handle, true);
    if (!session) return WinPosixFail(ERROR_INVALID_HANDLE, nullptr);
    HINTERNET request = OpenUrl(session, url, headers, headersLength, flags);
    DWORD saved = GetLastError();
    Leave(session);
    SetLastError(saved);
    return request;
}


namespace {

// HttpQueryInfoA with its request in use.
BOOL QueryInfo(Request *request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index)
{
    if (!bufferLength) return WinPosixFail(ERROR_INVALID_PARAMETER, FALSE);
    if (index && *index > 0) return WinPosixFail(ERROR_HTTP_HEADER_NOT_FOUND, FALSE);
    std::string value;
    switch (infoLevel & HTTP_QUERY_HEADER_MASK) {
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        value = request->headers;
        break;
    case HTTP_QUERY_STATUS_CODE: {
        long status = 0;
        curl_easy_getinfo(request->easy, CURLINFO_RESPONSE_CODE, &status);
        value = std::to_string(status);
        break;
    }
    case HTTP_QUERY_CONTENT_LENGTH:
        if (!FindHeader(request->headers, "Content-Length", &value))
            return WinPosixFail(ERROR_HTTP_HEADER_NOT_FOUND, FALSE);
        break;
    case HTTP_QUERY_TRANSFER_ENCODING:
        if (!FindHeader(request->headers, "Transfer-Encoding", &value))
            return WinPosixFail(ERROR_HTTP_HEADER_NOT_FOUND, FALSE);
        break;
    default:
        return WinPosixFail(ERROR_HTTP_HEADER_NOT_FOUND, FALSE);
    }
    if (infoLevel & HTTP_QUERY_FLAG_NUMBER) {
        if (!buffer || *bufferLength < sizeof(DWORD)) {
            *bufferLength = sizeof(DWORD);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        DWORD number = (DWORD)strtoul(value.c_str(), nullptr, 10);
        memcpy(buffer, &number, sizeof number);
        *bufferLength = sizeof(DWORD);
    } else {
        if (!buffer || *bufferLength < value.size() + 1) {
            *bufferLength = (DWORD)value.size() + 1;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(buffer, value.c_str(), value.size() + 1);
        *bufferLength = (DWORD)value.size();
    }
    if (index) *index += 1;
    return TRUE;
}

// InternetReadFile with its request in use.
BOOL ReadBody(Request *request, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead)
{
    if (!bytesRead || (!buffer && bytesToRead)) return WinPosixFail(ERROR_INVALID_PARAMETER, FALSE);
    *bytesRead = 0;
    request->target = (char *)buffer;
    request->targetSpace = bytesToRead;
    request->targetFilled = 0;

    size_t waiting = request->spill.size() - request->spillStart;
    size_t taken = std::min<size_t>(waiting, bytesToRead);
    if (taken) {
        memcpy(request->target, request->spill.data() + request->spillStart, taken);
        request->spillStart += taken;
        request->targetFilled = taken;
        if (request->spillStart == request->spill.size()) {
            request->spill.clear();
            request->spillStart = 0;
        }
    }
    // Time spent outside this call, in the caller, is not a stall.
    Touch(request);
    DWORD failure = request->failure;
    if (!failure && request->paused && request->spill.empty()) {
        request->paused = false;
        curl_easy_pause(request->easy, CURLPAUSE_CONT);
    }
    if (!failure) {
        failure = Pump(request, [request] {
            return request->targetFilled == request->targetSpace || request->paused;
        });
    }
    if (!failure && request->done && request->result != CURLE_OK) failure = ErrorFromCurl(request, request->result);
    DWORD filled = (DWORD)request->targetFilled;
    request->target = nullptr;
    request->targetSpace = request->targetFilled = 0;
    // A closed handle has no next read: its read fails whatever it holds.
    if (failure && (filled == 0 || failure == ERROR_INTERNET_OPERATION_CANCELLED)) return WinPosixFail(failure, FALSE);
    // Bytes that arrived before a failure are delivered; the failure comes with the next read.
    *bytesRead = filled;
    return TRUE;
}

}  // namespace

BOOL WINAPI HttpQueryInfoA(HINTERNET handle, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength, LPDWORD index)
{
    if (WinPosixFaulted("HttpQueryInfoA", nullptr)) return FALSE;
    Request *request = (Request *)Use(handle, false);
    if (!request) return WinPosixFail(ERROR_INVALID_HANDLE, FALSE);
    BOOL answered;
    {
        std::lock_guard<std::mutex> hold(request->callLock);
        answered = QueryInfo(request, infoLevel, buffer, bufferLength, index);
    }
    DWORD saved = GetLastError();
    Leave(request);
    SetLastError(saved);
    return answered;
}

// A close from another thread ends a read in progress, which then fails with
// ERROR_INTERNET_OPERATION_CANCELLED; the request's memory waits for it.
BOOL WINAPI InternetReadFile(HINTERNET handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead)
{
    if (WinPosixFaulted("InternetReadFile", nullptr)) return FALSE;
    Request *request = (Request *)Use(handle, false);
    if (!request) return WinPosixFail(ERROR_INVALID_HANDLE, FALSE);
    BOOL read;
    {
        std::lock_guard<std::mutex> hold(request->callLock);
        read = ReadBody(request, buffer, bytesToRead, bytesRead);
    }
    DWORD saved = GetLastError();
    Leave(request);
    SetLastError(saved);
    return read;
}

// An injected failure still releases the handle, as a failed fclose releases
// its stream: a caller has nothing better to do with it than close it again.
BOOL WINAPI InternetCloseHandle(HINTERNET handle)
{
    DWORD injected = 0;
    bool fail = WinPosixFaultHit("InternetCloseHandle", nullptr, &injected);
    std::vector<Handle *> dead;
    {
        std::lock_guard<std::mutex> hold(handleLock);
        auto found = handles.find((Handle *)handle);
        if (found == handles.end()) return WinPosixFail(ERROR_INVALID_HANDLE, FALSE);
        CloseLocked(*found, &dead);
    }
    FreeHandles(dead);
    if (fail) return WinPosixFail(injected, FALSE);
    return TRUE;
}

DWORD WinPosix_OpenInternetHandles(void)
{
    std::lock_guard<std::mutex> hold(handleLock);
    return (DWORD)handles.size();
}

void WinPosix_SetInternetTimeouts(DWORD connectMs, DWORD receiveMs)
{
    ReadTimeoutEnvironment();
    if (connectMs) connectTimeoutMs = connectMs;
    if (receiveMs) receiveTimeoutMs = receiveMs;
}
