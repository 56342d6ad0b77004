// libFuzzer target for the layer's reading of a response head, without
// sockets: the input, cut into lines after each LF, is handed over line by
// line as curl hands it, and the fields are then looked up. Besides the
// sanitizers' own findings, it checks what must hold for any head:
//
// - the block never passes its limit, and each of its lines ends in CRLF;
// - a field's value has no line end in it and no white space around it;
// - looking a name up again and again moves on and ends;
// - lengths that agree name one number, and each of them is that number.
#include "http_headers.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition, const char *what)
{
    if (condition) return;
    fprintf(stderr, "http_headers_fuzzer: %s\n", what);
    abort();
}

void CheckLookups(const std::string &block, const char *name)
{
    size_t at = 0, previous = 0;
    std::string value;
    while (NextHeader(block, name, &at, &value)) {
        Check(at > previous && at <= block.size(), "a lookup did not move on");
        previous = at;
        Check(value.find_first_of("\r\n") == std::string::npos, "a value holds a line end");
        Check(value.empty() || (value.front() != ' ' && value.back() != ' ' && value.front() != '\t' &&
                                value.back() != '\t'),
              "a value keeps white space around it");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input((const char *)data, size), block;
    size_t start = 0;
    while (start < input.size()) {
        size_t end = input.find('\n', start);
        end = end == std::string::npos ? input.size() : end + 1;
        HeaderLine added = AddHeaderLine(&block, input.data() + start, end - start);
        Check(block.size() <= kMaxHeaderBlock + 2, "the block passed its limit");
        if (added == kHeaderBlockTooLarge) break;
        start = end;
    }
    Check(block.empty() || block.compare(block.size() - 2, 2, "\r\n") == 0, "the block's last line has no CRLF");
    for (const char *name : {"Content-Length", "Location", "Transfer-Encoding", "HTTP/1.1 200 OK"}) CheckLookups(block, name);
    if (LengthsAgree(block)) {
        // Every plain number among the lengths, its leading zeros aside, is the same.
        std::string value, number;
        size_t at = 0;
        while (NextHeader(block, "Content-Length", &at, &value)) {
            size_t first = value.find_first_not_of(" \t,0");
            if (first == std::string::npos || value.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string digits = value.substr(first);
            Check(number.empty() || number == digits, "lengths that differ were said to agree");
            number = digits;
        }
    }
    return 0;
}
