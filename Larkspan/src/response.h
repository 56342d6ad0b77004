// Judging the final response's head before anything is stored: that it is
// HTTP, that its status is a success, and how its body's end will be known.
// Reads the head through HttpQueryInfoA (query_info.h) and writes the
// failure lines (report.h); changes nothing else.
#ifndef LARKSPAN_RESPONSE_H
#define LARKSPAN_RESPONSE_H

#include <windows.h>
#include <wininet.h>

#include "report.h"

// How the body's end is known.
enum Framing {
    kFramedByLength,  // a Content-Length the library read and believes
    kChunked,         // chunked alone: its framing ends it
    kFramedByClose,   // neither: the end of the connection ends it
};

struct Expected {
    Framing framing;
    unsigned long long length;  // kFramedByLength: the body's length
};

// 0 when the head is one to store the body of, with what is known of the
// body's end in *expected; otherwise the error of the failure written.
DWORD CheckResponse(Failures *failures, HINTERNET request, Expected *expected);

#endif
