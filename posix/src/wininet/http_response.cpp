// The response head (http_response.h): the block, the final flag, the
// trailers and a proxy's refusal, each written here only. Stands on
// http_headers.h; no curl, sockets or locks.
#include "http_response.h"

#include "http_headers.h"

#include <cstring>

namespace {

// Whether a response head announces no body at all: a Content-Length of 0
// and no transfer coding. Without either, the body runs to the close.
bool AnnouncesNoBody(const std::string &block)
{
    std::string value;
    if (FindHeader(block, "Transfer-Encoding", &value)) return false;
    return FindHeader(block, "Content-Length", &value) && LengthsAgree(block) &&
           value.find_first_not_of('0') == std::string::npos && !value.empty();
}

}  // namespace

void HeadStartRequest(ResponseHead *head)
{
    head->headers.clear();
}

HeadLine HeadAddLine(ResponseHead *head, const char *data, size_t length)
{
    if (head->final) {
        head->trailerBytes += length;
        return head->trailerBytes > kMaxHeaderBlock ? kHeadLineRefused : kHeadLineTaken;
    }
    // No field holds a NUL byte: a head with one is no HTTP head.
    if (memchr(data, '\0', length)) return kHeadLineRefused;
    switch (AddHeaderLine(&head->headers, data, length)) {
    case kHeaderLineAdded: return kHeadLineTaken;
    case kHeaderBlockTooLarge: return kHeadLineRefused;
    case kHeaderBlockEnded: break;
    }
    return LengthsAgree(head->headers) ? kHeadBlockEnded : kHeadLineRefused;
}

void HeadSetFinal(ResponseHead *head)
{
    head->final = true;
}

// A proxy that refused to open a tunnel (an https URL through an HTTP
// proxy): curl gives up, but the proxy's answer, whose head is in the block,
// is the response the caller gets, as WinINet gives it, so that a 407 says
// the proxy wants credentials rather than that the connection broke.
// WinINet also hands out the proxy's body; curl reads it past and drops it.
// So a read fails rather than end cleanly short of what the head announced:
// only a head that announces no body reads as an empty, whole body.
bool HeadTakeProxyRefusal(ResponseHead *head, long connectStatus, bool *bodyLost)
{
    if (head->final || connectStatus < 300 || head->headers.empty()) return false;
    head->proxyStatus = connectStatus;
    head->final = true;
    *bodyLost = !AnnouncesNoBody(head->headers);
    return true;
}

long HeadStatus(const ResponseHead *head, long curlStatus)
{
    return head->proxyStatus ? head->proxyStatus : curlStatus;
}
