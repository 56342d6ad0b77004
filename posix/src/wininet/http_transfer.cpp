// A request's transfer over curl: the callbacks curl calls and the pump that
// drives it. The opening returns once the final response's headers are in. A
// read fills the caller's buffer straight from curl's write callback and
// returns when it is full or the body has ended; curl is paused as soon as it
// is full, what the receive in hand brings beyond it waits in the body's
// spill, and curl is resumed once the spill is empty (http_body.h), so memory
// stays bounded whatever the body's size. Writes only the Transfer's own
// fields; its parts are written through their files' functions.
#include "http_transfer.h"

#include "http_errors.h"
#include "http_headers.h"
#include "system_calls.h"
#include "text_convert.h"

#include <wininet.h>

namespace {

// The first failure is the one that counts: what follows from it (curl
// giving up after a callback refused, say) says less.
void Fail(Transfer *transfer, DWORD error)
{
    if (!transfer->failure) transfer->failure = error;
}

// Called before the request is sent, and again if curl sends it anew (a
// reused connection found closed): the head starts afresh and the stall
// clock starts.
int OnPrerequest(void *context, char *, char *, int, int)
{
    Transfer *transfer = (Transfer *)context;
    HeadStartRequest(&transfer->head);
    StallStart(&transfer->stall);
    return CURL_PREREQFUNC_OK;
}

// Called for each new connection, before it connects: the connect time-out
// covers what follows until the request goes out.
int OnNewSocket(void *context, curl_socket_t, curlsocktype)
{
    StallStop(&((Transfer *)context)->stall);
    return CURL_SOCKOPT_OK;
}

size_t OnHeaderLine(char *data, size_t size, size_t count, void *context)
{
    Transfer *transfer = (Transfer *)context;
    size_t length = size * count;
    StallTouch(&transfer->stall);
    switch (HeadAddLine(&transfer->head, data, length)) {
    case kHeadLineTaken: return length;
    case kHeadLineRefused: Fail(transfer, ERROR_HTTP_INVALID_SERVER_RESPONSE); return 0;
    case kHeadBlockEnded: break;
    }
    // The end of one response's headers. Informational responses, and a
    // proxy's answer to CONNECT (whose status is no response's), are not the
    // response to read.
    if (TransferStatus(transfer) < 200) return length;
    HeadSetFinal(&transfer->head);
    return length;
}

size_t OnBodyBytes(char *data, size_t size, size_t count, void *context)
{
    Transfer *transfer = (Transfer *)context;
    size_t length = size * count;
    HeadSetFinal(&transfer->head);
    StallTouch(&transfer->stall);
    switch (BodyDeliver(&transfer->body, data, length)) {
    case kDeliveryTaken: break;
    case kDeliveryTakenPause:
        // Paused from here rather than by refusing the next delivery: curl
        // then hands over the rest of this receive and reads no more, where
        // a refused delivery is copied by curl, kept, and copied again when
        // resumed.
        curl_easy_pause(transfer->easy, CURLPAUSE_RECV);
        break;
    case kDeliveryRefused: return CURL_WRITEFUNC_PAUSE;
    }
    return length;
}

// curl gave up on the request in hand: a proxy's refusal is the response
// (http_response.h), anything else the transfer's failure.
void FailFromCurl(Transfer *transfer, CURLcode code)
{
    long connectStatus = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);
    bool bodyLost = false;
    if (HeadTakeProxyRefusal(&transfer->head, connectStatus, &bodyLost)) {
        if (bodyLost) Fail(transfer, ERROR_INTERNET_CONNECTION_ABORTED);
        return;
    }
    // curl 7.88 answers a trailer it can't take (a NUL in it) with
    // CURLE_BAD_FUNCTION_ARGUMENT when the trailer comes in a receive of its
    // own, and drops it without a word when it comes with the last chunk.
    // Only a chunked body has trailers, and only after its last chunk, and
    // WinINet hands out none: the body is whole either way, and ends here.
    std::string coding;
    if (code == CURLE_BAD_FUNCTION_ARGUMENT && transfer->head.final &&
        FindHeader(transfer->head.headers, "Transfer-Encoding", &coding) && HasPrefixNoCase(coding.c_str(), "chunked"))
        return;
    long osError = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_OS_ERRNO, &osError);
    Fail(transfer, ErrorFromCurl(code, transfer->head.final, !transfer->head.headers.empty(), osError));
}

// Runs the transfer until `enough` holds, the transfer ends, nothing has
// arrived for the receive time-out, or the transfer is cancelled. What ends
// it early is recorded as its failure.
template <typename Enough> void Pump(Transfer *transfer, Enough enough)
{
    while (!transfer->done && !enough()) {
        if (transfer->cancelled) return Fail(transfer, ERROR_INTERNET_OPERATION_CANCELLED);
        int running = 0;
        unsigned long long deliveredBefore = transfer->body.delivered;
        if (sys.curl_multi_perform(transfer->multi, &running) != CURLM_OK)
            return Fail(transfer, ERROR_INTERNET_INTERNAL_ERROR);
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(transfer->multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            transfer->done = true;
            if (message->data.result != CURLE_OK) FailFromCurl(transfer, message->data.result);
        }
        if (transfer->done || enough()) break;
        curl_off_t bytes = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
        StallSawBytes(&transfer->stall, bytes);
        // A receive that filled curl's whole buffer has likely left more in
        // the socket: read again at once instead of asking poll first.
        if (BodyFilledReceive(&transfer->body, deliveredBefore)) continue;
        ULONGLONG now = GetTickCount64();
        if (StallExpired(&transfer->stall, now)) return Fail(transfer, ERROR_INTERNET_TIMEOUT);
        // A cancel from another thread wakes this poll (curl_multi_wakeup).
        // A poll that fails would fail again at once, the loop spinning
        // until the time-out: the transfer ends here instead.
        if (sys.curl_multi_poll(transfer->multi, nullptr, 0, StallWaitMs(&transfer->stall, now), nullptr) != CURLM_OK)
            return Fail(transfer, ERROR_INTERNET_INTERNAL_ERROR);
    }
}

}  // namespace

DWORD StartTransfer(Transfer *transfer, const char *url, DWORD flags, const TransferSettings &settings)
{
    transfer->easy = sys.curl_easy_init();
    transfer->multi = sys.curl_multi_init();
    StallInit(&transfer->stall, settings.receiveTimeoutMs);
    if (!transfer->easy || !transfer->multi) return ERROR_NOT_ENOUGH_MEMORY;
    CURL *easy = transfer->easy;
    if (DWORD error = SetUpRequest(easy, &transfer->requestHeaders, url, flags, settings)) return error;
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeaderLine);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBodyBytes);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, transfer);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnNewSocket);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, transfer);
    if (sys.curl_multi_add_handle(transfer->multi, easy) != CURLM_OK) return ERROR_INTERNET_INTERNAL_ERROR;
    StallTouch(&transfer->stall);
    return 0;
}

DWORD WaitForHeaders(Transfer *transfer)
{
    Pump(transfer, [transfer] { return transfer->head.final; });
    if (!transfer->head.final) Fail(transfer, ERROR_HTTP_INVALID_SERVER_RESPONSE);
    // curl may have read on into the body, even to a failure there: that
    // failure belongs to the read that reaches it, after the bytes before it.
    bool forTheOpening = !transfer->head.final || transfer->failure == ERROR_INTERNET_OPERATION_CANCELLED;
    return forTheOpening ? transfer->failure : 0;
}

DWORD ReadTransfer(Transfer *transfer, void *buffer, DWORD bytesToRead, DWORD *bytesRead)
{
    if (!bytesRead || (!buffer && bytesToRead)) return ERROR_INVALID_PARAMETER;
    *bytesRead = 0;
    BodyStartRead(&transfer->body, buffer, bytesToRead);
    // Time spent outside this call, in the caller, is not a stall.
    StallTouch(&transfer->stall);
    if (!transfer->failure && BodyResumeDue(&transfer->body)) {
        curl_easy_pause(transfer->easy, CURLPAUSE_CONT);
        BodyResumed(&transfer->body);
    }
    if (!transfer->failure) Pump(transfer, [transfer] { return BodyReadSatisfied(&transfer->body); });
    DWORD filled = (DWORD)BodyFinishRead(&transfer->body);
    DWORD failure = transfer->failure;
    // A cancelled transfer has no next read: its read fails whatever it holds.
    if (failure && (filled == 0 || failure == ERROR_INTERNET_OPERATION_CANCELLED)) return failure;
    *bytesRead = filled;
    return 0;
}

long TransferStatus(Transfer *transfer)
{
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    return HeadStatus(&transfer->head, status);
}

const std::string &TransferHeaders(const Transfer *transfer)
{
    return transfer->head.headers;
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
    BodyRelease(&transfer->body);
    transfer->easy = nullptr;
    transfer->multi = nullptr;
    transfer->requestHeaders = nullptr;
}
