// One response's header block as the layer keeps it for HttpQueryInfoA: the
// status line and each field on a line of its own, every line ended by CRLF,
// the block ended by an empty line. Plain text work: no curl, no sockets, no
// locks; http_response.cpp feeds it the lines curl hands over, and
// wininet.cpp looks fields up in the block.
#ifndef WINPOSIX_HTTP_HEADERS_H
#define WINPOSIX_HTTP_HEADERS_H

#include <cstddef>
#include <string>

// No real response needs more header than this; a server that sends more is
// refused rather than buffered.
const size_t kMaxHeaderBlock = 256 * 1024;

enum HeaderLine {
    kHeaderLineAdded,     // a field or a status line; more to come
    kHeaderBlockEnded,    // the empty line: the block is whole
    kHeaderBlockTooLarge  // past kMaxHeaderBlock: the response is to be refused
};

// Adds one line of a response's head, as received (its line end included),
// to `block`. A status line starts a new block: the one before it belonged
// to an informational response.
HeaderLine AddHeaderLine(std::string *block, const char *data, size_t length);

// The value of the next field called `name` (any case) in `block`, starting
// at offset `*at` (0 for the first field) and moving `*at` past it; false
// when there is no further one. The value has no white space around it.
bool NextHeader(const std::string &block, const char *name, size_t *at, std::string *value);
bool FindHeader(const std::string &block, const char *name, std::string *value);

// False when Content-Length fields (two fields, or a list in one) give
// different numbers: the body's end is then in doubt.
bool LengthsAgree(const std::string &block);

#endif
