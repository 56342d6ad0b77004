// The layer's reading of a response head, without sockets: what curl hands
// over, line by line, and the fields looked up in the block it makes.
#include "http_headers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds `lines` (each with its own line end), as curl hands over the heads
// of every response it reads; says what the last line did.
HeaderLine Feed(std::string *block, const std::vector<std::string> &lines)
{
    HeaderLine last = kHeaderLineAdded;
    for (const std::string &line : lines) last = AddHeaderLine(block, line.data(), line.size());
    return last;
}

TEST(HttpHeaders, LinesMakeOneBlockPerResponse)
{
    struct Case {
        std::vector<std::string> lines;
        HeaderLine ends;
        std::string block;
    };
    const Case cases[] = {
        // An informational response's block gives way to the final one's.
        {{"HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 200 OK\r\n", "A: 1\r\n", "\r\n"},
         kHeaderBlockEnded, "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n"},
        // Bare LF line ends come out as CRLF.
        {{"HTTP/1.0 200 OK\n", "A: 1\n", "\n"}, kHeaderBlockEnded, "HTTP/1.0 200 OK\r\nA: 1\r\n\r\n"},
        // Any line that starts with CR ends the block, as it does for curl.
        {{"HTTP/1.1 200 OK\r\n", "\r\xff\n"}, kHeaderBlockEnded, "HTTP/1.1 200 OK\r\n\r\n"},
        // A CR inside a line is a space, in no value handed out.
        {{"HTTP/1.1 200 OK\r\n", "A: 1\rB: 2\r\n", "\r\n"}, kHeaderBlockEnded, "HTTP/1.1 200 OK\r\nA: 1 B: 2\r\n\r\n"},
        {{"HTTP/1.1 200 OK\r\n", std::string(kMaxHeaderBlock, 'x') + "\r\n"}, kHeaderBlockTooLarge,
         "HTTP/1.1 200 OK\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.block);
        std::string block;
        EXPECT_EQ(c.ends, Feed(&block, c.lines));
        EXPECT_EQ(c.block, block);
    }
}

TEST(HttpHeaders, FieldsAreFoundByWholeNameInAnyCase)
{
    const std::string block = "HTTP/1.1 302 Found\r\ncontent-length:  12 \r\nContent-Length2: 7\r\n"
                              "Location:\r\nLOCATION: /next\r\nX: Location: /not-a-field\r\n\r\n";
    std::string value;
    ASSERT_TRUE(FindHeader(block, "Content-Length", &value));
    EXPECT_EQ("12", value);
    EXPECT_FALSE(FindHeader(block, "Content", &value));
    EXPECT_FALSE(FindHeader(block, "HTTP/1.1 302 Found", &value)) << "the status line is no field";
    size_t at = 0;
    std::vector<std::string> locations;
    while (NextHeader(block, "Location", &at, &value)) locations.push_back(value);
    EXPECT_EQ((std::vector<std::string>{"", "/next"}), locations);
}

TEST(HttpHeaders, LengthsAgreeOnlyOnOneNumber)
{
    struct Case {
        const char *fields;
        bool agree;
    };
    const Case cases[] = {
        {"", true},
        {"Content-Length: 5\r\n", true},
        {"Content-Length: 5, 005,\r\nContent-Length: 5\r\n", true},
        {"Content-Length: 0, 000\r\n", true},
        {"Content-Length: 5, 6\r\n", false},
        {"Content-Length: 5\r\nContent-Length: 10\r\n", false},
        {"Content-Length: 5\r\ncontent-length: x\r\n", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fields);
        EXPECT_EQ(c.agree, LengthsAgree(std::string("HTTP/1.1 200 OK\r\n") + c.fields + "\r\n"));
    }
}

}  // namespace
