// A request's transfer over curl. The opening returns once the final
// response's headers are in. A read fills the caller's buffer straight from
// curl's write callback and returns when it is full or the body has ended.
// What curl brings beyond the caller's buffer waits in a spill buffer; once
// that holds half curl's receive buffer, curl is paused until the spill is
// empty, so memory stays bounded whatever the body's size.
#include "http_transfer.h"

#include "errors.h"
#include "http_headers.h"

#include <wininet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <strings.h>

namespace {

// curl's receive buffer. Its default of 16 KiB costs a receive, a poll and an
// acknowledgement for every 16 KiB of body; a larger one lets one receive take
// what has piled up in the socket meanwhile. Not larger still: the spill grows
// with it, and the memory a download touches is, for the small files an
// update is made of, what costs most after starting the process (512 KiB was
// faster for bodies of 64 MiB and more, and slower for 1 MiB ones). And just
// under malloc's threshold for giving a block a mapping of its own (128 KiB;
// curl asks for one byte more): a mapped block goes back to the system when
// freed, and the next transfer's is faulted in page by page anew, where one
// from the heap is used again.
const long kReceiveBuffer = 127 * 1024;

// The most the spill holds before curl is paused. curl reads on while the
// socket has data, so unpaused it would bring all the socket holds; paused,
// it keeps a copy of the rest of its buffer and hands it over when resumed.
// Half a receive buffer: a resumed receive pauses at most once more, and the
// memory a download touches stays small (for a 1 MiB body, five downloads in
// a row ran 1.1 times as fast as with a spill of a whole receive; 512 MiB
// ones 3 % slower).
const size_t kMaxSpill = kReceiveBuffer / 2;

// What the spill may have to hold: a receive of which the caller's buffer
// took only part is taken whole (curl can't be paused after some of it), so
// up to a receive less a byte.
const size_t kSpillCapacity = kReceiveBuffer;

// The spill's memory, kept from one transfer to the next. Memory fresh from
// the system costs a page fault for each page first touched (about 11 us on
// the machine the benchmarks ran on), and what a transfer frees at its end
// goes back to the system once enough of the heap's top is free, to be
// faulted in anew by the next: for files of a few MB, those faults were most
// of what a download cost beyond a plain libcurl loop. One is kept, for one
// download after another; downloads at once beyond it have their own.
// Never destroyed: a transfer on another thread may still end while the
// process exits.
std::mutex spareSpillLock;
std::vector<char> &spareSpill = *new std::vector<char>;

void TakeSpill(std::vector<char> *spill)
{
    {
        std::lock_guard<std::mutex> hold(spareSpillLock);
        if (spareSpill.capacity() >= kSpillCapacity) spill->swap(spareSpill);
    }
    // Reserved whole at once: growing step by step would copy and touch
    // fresh memory several times over.
    if (spill->capacity() < kSpillCapacity) spill->reserve(kSpillCapacity);
}

void GiveBackSpill(std::vector<char> *spill)
{
    spill->clear();
    std::lock_guard<std::mutex> hold(spareSpillLock);
    if (spareSpill.capacity() < spill->capacity()) spill->swap(spareSpill);
}

// As WinINet: a chain of more redirects than this fails.
const int kMaxRedirects = 10;

std::string EscapeUrl(const char *url);

bool StartsWithNoCase(const char *text, const char *prefix)
{
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// The first failure is the one that counts: what follows from it (curl
// giving up after a callback refused, say) says less.
void Fail(Transfer *transfer, DWORD error)
{
    if (!transfer->failure) transfer->failure = error;
}

void Touch(Transfer *transfer)
{
    transfer->lastActivity = GetTickCount64();
}

// Called before each request is sent, the redirected ones included: a secure
// transfer never continues over plain HTTP, and the stall clock starts. The
// header block starts afresh with each request, so that a reply without one
// (an HTTP/0.9 one) is told from a refused redirect.
int OnPrerequest(void *context, char *, char *, int, int)
{
    Transfer *transfer = (Transfer *)context;
    char *url = nullptr;
    curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
    if (url && StartsWithNoCase(url, "https:")) {
        transfer->sawHttps = true;
    } else if (transfer->sawHttps) {
        Fail(transfer, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
        return CURL_PREREQFUNC_ABORT;
    }
    transfer->headers.clear();
    transfer->bytesSeen = 0;
    transfer->stallClockRunning = true;
    Touch(transfer);
    return CURL_PREREQFUNC_OK;
}

// Called for each new connection, before it connects: the connect time-out
// covers what follows until the request goes out. A redirect to another
// server is the case: the stall clock ran while the redirect was read.
int OnNewSocket(void *context, curl_socket_t, curlsocktype)
{
    Transfer *transfer = (Transfer *)context;
    transfer->stallClockRunning = false;
    return CURL_SOCKOPT_OK;
}

size_t OnHeader(char *data, size_t size, size_t count, void *context)
{
    Transfer *transfer = (Transfer *)context;
    size_t length = size * count;
    Touch(transfer);
    if (transfer->headersFinal) {
        // Trailer fields after a chunked body: they describe the body, they
        // are not headers of the response, and a length among them is not one.
        transfer->trailerBytes += length;
        if (transfer->trailerBytes > kMaxHeaderBlock) {
            Fail(transfer, ERROR_HTTP_INVALID_SERVER_RESPONSE);
            return 0;
        }
        return length;
    }
    switch (AddHeaderLine(&transfer->headers, data, length)) {
    case kHeaderLineAdded: return length;
    case kHeaderBlockTooLarge: Fail(transfer, ERROR_HTTP_INVALID_SERVER_RESPONSE); return 0;
    case kHeaderBlockEnded: break;
    }
    if (!LengthsAgree(transfer->headers)) {
        Fail(transfer, ERROR_HTTP_INVALID_SERVER_RESPONSE);
        return 0;
    }
    // The end of one response's headers. Informational responses, and a
    // proxy's answer to CONNECT (whose status is no response's), are not the
    // response to read.
    long status = TransferStatus(transfer);
    if (status < 200) return length;
    std::string location;
    if (transfer->followRedirects && IsFollowedStatus(status) && FindRedirect(transfer->headers, &location)) {
        // A redirect to follow: its body is not wanted, so the transfer stops
        // here and Pump starts the next request.
        char *url = nullptr;
        curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
        if (!ResolveUrl(url ? url : "", location, kEscapeNothing, &transfer->redirectTo) || transfer->redirectTo.empty())
            transfer->redirectTo = location;
        return 0;
    }
    transfer->headersFinal = true;
    return length;
}

size_t OnBody(char *data, size_t size, size_t count, void *context)
{
    Transfer *transfer = (Transfer *)context;
    size_t length = size * count;
    transfer->headersFinal = true;
    transfer->bodyDelivered += length;
    Touch(transfer);
    size_t direct = std::min(length, transfer->targetSpace - transfer->targetFilled);
    if (direct) {
        memcpy(transfer->target + transfer->targetFilled, data, direct);
        transfer->targetFilled += direct;
    }
    if (direct < length) {
        // What the caller's buffer cannot take waits in the spill. curl
        // reads on while the socket has data, so once the spill holds a
        // receive's worth curl is paused: it keeps the rest of its buffer and
        // hands it over when resumed, which the spill, empty by then, takes
        // whole. Pausing as soon as the caller's buffer is full would make
        // curl copy what it keeps back once more on every resume.
        if (direct == 0 && transfer->spill.size() + length > kMaxSpill) {
            transfer->paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (transfer->spill.capacity() < kSpillCapacity) TakeSpill(&transfer->spill);
        transfer->spill.insert(transfer->spill.end(), data + direct, data + length);
    }
    return length;
}

DWORD ErrorFromCurl(Transfer *transfer, CURLcode code)
{
    long osError = 0;
    switch (code) {
    case CURLE_OK: return ERROR_SUCCESS;
    case CURLE_URL_MALFORMAT: return ERROR_INTERNET_INVALID_URL;
    case CURLE_UNSUPPORTED_PROTOCOL:
        // Every URL's scheme, a redirect's included, is checked before its
        // request goes out: this is a reply that is not HTTP at all (HTTP/0.9,
        // or a status line curl can't read, after an informational response
        // too).
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
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
        return transfer->headersFinal ? ERROR_NOT_ENOUGH_MEMORY : ERROR_HTTP_INVALID_SERVER_RESPONSE;
#if LIBCURL_VERSION_NUM >= 0x080600
    case CURLE_TOO_LARGE: return ERROR_HTTP_INVALID_SERVER_RESPONSE;
#endif
    case CURLE_PARTIAL_FILE: return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        curl_easy_getinfo(transfer->easy, CURLINFO_OS_ERRNO, &osError);
        return osError == ECONNRESET ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    default: return ERROR_INTERNET_INTERNAL_ERROR;
    }
}

// Whether a response head announces no body at all: a Content-Length of 0
// and no transfer coding. Without either, the body runs to the close.
bool AnnouncesNoBody(const std::string &block)
{
    std::string value;
    if (FindHeader(block, "Transfer-Encoding", &value)) return false;
    return FindHeader(block, "Content-Length", &value) && LengthsAgree(block) &&
           value.find_first_not_of('0') == std::string::npos && !value.empty();
}

// A proxy that refused to open a tunnel (an https URL through an HTTP
// proxy): curl gives up, but the proxy's answer, whose head is in the block,
// is the response the caller gets, as WinINet gives it, so that a 407 says
// the proxy wants credentials rather than that the connection broke.
// WinINet also hands out the proxy's body; curl reads it past and drops it.
// So a read fails rather than end cleanly short of what the head announced:
// only a head that announces no body reads as an empty, whole body.
bool ProxyRefused(Transfer *transfer)
{
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_HTTP_CONNECTCODE, &status);
    if (transfer->headersFinal || status < 300 || transfer->headers.empty()) return false;
    transfer->proxyStatus = status;
    transfer->headersFinal = true;
    if (!AnnouncesNoBody(transfer->headers)) Fail(transfer, ERROR_INTERNET_CONNECTION_ABORTED);
    return true;
}

// Sends the request on to where the redirect just read leads: http or https
// only, never from https to plain http, at most 10 times in a row, as
// WinINet. The same easy handle goes round again, so its settings stay.
void FollowRedirect(Transfer *transfer)
{
    std::string next;
    next.swap(transfer->redirectTo);
    bool https = StartsWithNoCase(next.c_str(), "https://");
    if (!https && !StartsWithNoCase(next.c_str(), "http://")) return Fail(transfer, ERROR_HTTP_REDIRECT_FAILED);
    if (transfer->sawHttps && !https) return Fail(transfer, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
    if (++transfer->redirects > kMaxRedirects) return Fail(transfer, ERROR_HTTP_REDIRECT_FAILED);
    curl_multi_remove_handle(transfer->multi, transfer->easy);
    curl_easy_setopt(transfer->easy, CURLOPT_URL, EscapeUrl(next.c_str()).c_str());
    transfer->headers.clear();
    transfer->done = false;
    if (curl_multi_add_handle(transfer->multi, transfer->easy) != CURLM_OK)
        return Fail(transfer, ERROR_INTERNET_INTERNAL_ERROR);
}

// Runs the transfer until `enough` holds, the transfer ends, nothing has
// arrived for the receive time-out, or the transfer is cancelled. What ends
// it early is recorded as its failure.
template <typename Enough> void Pump(Transfer *transfer, Enough enough)
{
    while (!transfer->done && !enough()) {
        if (transfer->cancelled) return Fail(transfer, ERROR_INTERNET_OPERATION_CANCELLED);
        int running = 0;
        unsigned long long deliveredBefore = transfer->bodyDelivered;
        if (curl_multi_perform(transfer->multi, &running) != CURLM_OK)
            return Fail(transfer, ERROR_INTERNET_INTERNAL_ERROR);
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(transfer->multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            transfer->done = true;
            if (!transfer->redirectTo.empty() && !transfer->failure) FollowRedirect(transfer);
            else if (message->data.result != CURLE_OK && !ProxyRefused(transfer))
                Fail(transfer, ErrorFromCurl(transfer, message->data.result));
        }
        if (transfer->done || enough()) break;
        // Bytes of a body that curl reads but does not hand over (a followed
        // redirect's) are activity too.
        curl_off_t bytes = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
        if (bytes != transfer->bytesSeen) {
            transfer->bytesSeen = bytes;
            Touch(transfer);
        }
        // A receive that filled curl's whole buffer has likely left more in
        // the socket: read again at once instead of asking poll first.
        if (transfer->bodyDelivered - deliveredBefore >= (unsigned long long)kReceiveBuffer) continue;
        ULONGLONG now = GetTickCount64();
        if (transfer->stallClockRunning && now - transfer->lastActivity >= transfer->receiveTimeout)
            return Fail(transfer, ERROR_INTERNET_TIMEOUT);
        ULONGLONG left = transfer->stallClockRunning ? transfer->receiveTimeout - (now - transfer->lastActivity) : 1000;
        // A cancel from another thread wakes this poll (curl_multi_wakeup).
        curl_multi_poll(transfer->multi, nullptr, 0, (int)std::min<ULONGLONG>(left, 1000), nullptr);
    }
}

// The URL as it goes out: HTTP takes no space, control byte, byte past
// ASCII or any of "<>\\^`{|} in a request's target, and WinINet's callers
// hand such URLs over as typed. Each such byte after the server's name is
// escaped as %XX of the byte as it stands in the caller's narrow string;
// the fragment is the caller's own and is not sent.
std::string EscapeUrl(const char *url)
{
    static const char kHex[] = "0123456789ABCDEF";
    const char *authority = strstr(url, "://");
    const char *path = authority ? authority + 3 + strcspn(authority + 3, "/?#") : url;
    std::string escaped(url, path);
    for (const char *at = path; *at && *at != '#'; at++) {
        unsigned char byte = (unsigned char)*at;
        if (byte <= 0x20 || byte >= 0x7f || strchr("\"<>\\^`{|}", byte)) {
            escaped += '%';
            escaped += kHex[byte >> 4];
            escaped += kHex[byte & 15];
        } else {
            escaped += (char)byte;
        }
    }
    return escaped;
}

const char *Variable(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

// The certificate authorities to trust, where the user names them the way
// curl's own tool takes them: CURL_CA_BUNDLE, a file of certificates;
// otherwise SSL_CERT_FILE, a file, and SSL_CERT_DIR, a folder of hashed
// ones (OpenSSL's names). Each replaces the system's store, as it does for
// those tools; with none set, the system's store is used. Verification
// itself always stays on.
void SetAuthorities(CURL *easy)
{
    if (const char *bundle = Variable("CURL_CA_BUNDLE")) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, bundle);
        return;
    }
    const char *file = Variable("SSL_CERT_FILE"), *folder = Variable("SSL_CERT_DIR");
    if (file || folder) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, file);
        curl_easy_setopt(easy, CURLOPT_CAPATH, folder);
    }
}

bool AddRequestHeaders(Transfer *transfer, const char *headers, DWORD length, DWORD flags)
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
            curl_slist *grown = curl_slist_append(transfer->requestHeaders, all.substr(start, end - start).c_str());
            if (!grown) return false;
            transfer->requestHeaders = grown;
        }
        start = end + 1;
    }
    return true;
}

}  // namespace

DWORD StartTransfer(Transfer *transfer, const char *url, const char *headers, DWORD headersLength, DWORD flags,
                    const TransferSettings &settings)
{
    transfer->easy = curl_easy_init();
    transfer->multi = curl_multi_init();
    transfer->receiveTimeout = settings.receiveTimeoutMs;
    if (!transfer->easy || !transfer->multi || !AddRequestHeaders(transfer, headers, headersLength, flags))
        return ERROR_NOT_ENOUGH_MEMORY;
    CURL *easy = transfer->easy;
    bool https = StartsWithNoCase(url, "https:");
    curl_easy_setopt(easy, CURLOPT_URL, EscapeUrl(url).c_str());
    curl_easy_setopt(easy, CURLOPT_USERAGENT, settings.agent);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer->requestHeaders);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed by Pump (FollowRedirect), not by curl.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    transfer->followRedirects = !(flags & INTERNET_FLAG_NO_AUTO_REDIRECT);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    SetAuthorities(easy);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, (long)settings.connectTimeoutMs);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnNewSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, transfer);
    if (settings.accessType == INTERNET_OPEN_TYPE_DIRECT) {
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
    } else if (settings.accessType == INTERNET_OPEN_TYPE_PROXY) {
        curl_easy_setopt(easy, CURLOPT_PROXY, settings.proxy);
        curl_easy_setopt(easy, CURLOPT_NOPROXY, settings.proxyBypass);
    } else if (https && !Variable("https_proxy") && !Variable("HTTPS_PROXY") && !Variable("all_proxy") &&
               !Variable("ALL_PROXY")) {
        // INTERNET_OPEN_TYPE_PRECONFIG: curl takes the proxy variables of the
        // environment (http_proxy for http, https_proxy for https, all_proxy
        // for both, no_proxy for exceptions; not HTTP_PROXY in capitals,
        // which a web server's CGI programs receive from any client). An
        // https URL with only http_proxy set goes through that proxy too, as
        // WinINet sends every scheme through its one proxy; no_proxy still
        // applies.
        if (const char *proxy = Variable("http_proxy")) curl_easy_setopt(easy, CURLOPT_PROXY, proxy);
    }
    if (curl_multi_add_handle(transfer->multi, easy) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
    Touch(transfer);
    return 0;
}

DWORD WaitForHeaders(Transfer *transfer)
{
    Pump(transfer, [transfer] { return transfer->headersFinal; });
    if (!transfer->headersFinal) Fail(transfer, ERROR_HTTP_INVALID_SERVER_RESPONSE);
    // curl may have read on into the body, even to a failure there: that
    // failure belongs to the read that reaches it, after the bytes before it.
    bool forTheOpening = !transfer->headersFinal || transfer->failure == ERROR_INTERNET_OPERATION_CANCELLED;
    return forTheOpening ? transfer->failure : 0;
}

BOOL ReadTransfer(Transfer *transfer, void *buffer, DWORD bytesToRead, DWORD *bytesRead)
{
    if (!bytesRead || (!buffer && bytesToRead)) return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    *bytesRead = 0;
    transfer->target = (char *)buffer;
    transfer->targetSpace = bytesToRead;
    transfer->targetFilled = 0;

    size_t waiting = transfer->spill.size() - transfer->spillStart;
    size_t taken = std::min<size_t>(waiting, bytesToRead);
    if (taken) {
        memcpy(transfer->target, transfer->spill.data() + transfer->spillStart, taken);
        transfer->spillStart += taken;
        transfer->targetFilled = taken;
        if (transfer->spillStart == transfer->spill.size()) {
            transfer->spill.clear();
            transfer->spillStart = 0;
        }
    }
    // Time spent outside this call, in the caller, is not a stall.
    Touch(transfer);
    if (!transfer->failure && transfer->paused && transfer->spill.empty()) {
        transfer->paused = false;
        curl_easy_pause(transfer->easy, CURLPAUSE_CONT);
    }
    if (!transfer->failure) {
        Pump(transfer, [transfer] {
            return transfer->targetFilled == transfer->targetSpace || transfer->paused;
        });
    }
    DWORD filled = (DWORD)transfer->targetFilled;
    transfer->target = nullptr;
    transfer->targetSpace = transfer->targetFilled = 0;
    DWORD failure = transfer->failure;
    // A cancelled transfer has no next read: its read fails whatever it holds.
    if (failure && (filled == 0 || failure == ERROR_INTERNET_OPERATION_CANCELLED)) return FailWith(failure, FALSE);
    *bytesRead = filled;
    return TRUE;
}

long TransferStatus(Transfer *transfer)
{
    if (transfer->proxyStatus) return transfer->proxyStatus;
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

std::string TransferUrl(Transfer *transfer)
{
    char *url = nullptr;
    curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
    return url ? url : "";
}

void CancelTransfer(Transfer *transfer)
{
    transfer->cancelled = true;
    if (transfer->multi) curl_multi_wakeup(transfer->multi);
}

void EndTransfer(Transfer *transfer)
{
    if (transfer->multi && transfer->easy) curl_multi_remove_handle(transfer->multi, transfer->easy);
    if (transfer->easy) curl_easy_cleanup(transfer->easy);
    if (transfer->multi) curl_multi_cleanup(transfer->multi);
    curl_slist_free_all(transfer->requestHeaders);
    GiveBackSpill(&transfer->spill);
    transfer->easy = nullptr;
    transfer->multi = nullptr;
    transfer->requestHeaders = nullptr;
}
