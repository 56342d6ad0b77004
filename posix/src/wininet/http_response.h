// The head of the response being read: its header block, whether it is the
// final response (the one whose body the caller reads), the trailers after
// a chunked body, and a proxy's refusal standing in for the response. Only
// http_response.cpp writes a ResponseHead. Plain text work over
// http_headers.h: no curl, sockets or locks.
#ifndef WINPOSIX_HTTP_RESPONSE_H
#define WINPOSIX_HTTP_RESPONSE_H

#include <cstddef>
#include <string>

struct ResponseHead {
    std::string headers;      // the latest response's header block (http_headers.h)
    bool final = false;       // the response whose body will be read has its headers
    size_t trailerBytes = 0;  // trailer fields after a chunked body, counted, not kept
    long proxyStatus = 0;     // a proxy's refusal to open a tunnel: the response's status
};

enum HeadLine {
    kHeadLineTaken,     // a field, a status line or a trailer; more to come
    kHeadBlockEnded,    // a response's head is whole (maybe not the final one's)
    kHeadLineRefused    // too much head, or lengths that disagree: the response is refused
};

// A request goes out: its reply's head starts afresh, so that a reply
// without one (an HTTP/0.9 one) is told from a refused redirect.
void HeadStartRequest(ResponseHead *head);

// One line of the head as curl hands it over, its line end included. Once
// the head is final, lines are trailers: counted against the head's limit,
// not kept, and a length among them is not the body's.
HeadLine HeadAddLine(ResponseHead *head, const char *data, size_t length);

// The response just read, or the body now arriving, is the one to hand out.
void HeadSetFinal(ResponseHead *head);

// A proxy answered CONNECT with `connectStatus`, and curl gave up: when the
// head holds that answer and no final response came, it becomes the
// response. True when it did; `bodyLost` then says whether the head
// announced a body (which curl drops), so that a read must fail.
bool HeadTakeProxyRefusal(ResponseHead *head, long connectStatus, bool *bodyLost);

// The response's status: the proxy's refusal, or else what curl read.
long HeadStatus(const ResponseHead *head, long curlStatus);

#endif
