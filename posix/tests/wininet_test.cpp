// WinINet as the download library uses it: header queries, body reads and
// handle lifetime, against the scripted server. The same expectations hold
// for Windows' wininet.dll and for the layer. URLs are opened as the library
// opens them: no extra header lines, a reload, and no redirect followed
// (kOpenFlags); the library follows redirects itself.
#ifdef _WIN32
#include <windows.h>
#include <wininet.h>
#else
#include <wininet.h>
#endif

#include "http_server.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const char kRawHeaders[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\nX-Extra: a\r\n\r\n";
const DWORD kOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;

class WininetContract : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.Route("/small", Respond(200, "hello", "X-Extra: a\r\n"));
        server.Route("/gone", Respond(404, "no such path\n"));
        server.Route("/chunked", RespondChunked("hello", 2));
        server.Route("/moved", Redirect(302, server.Url("/small")));
        session = InternetOpenA("conformance", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0);
        ASSERT_NE(nullptr, session) << GetLastError();
    }
    void TearDown() override
    {
        if (request) InternetCloseHandle(request);
        if (session) InternetCloseHandle(session);
    }
    void Open(const std::string &path)
    {
        request = InternetOpenUrlA(session, server.Url(path).c_str(), NULL, 0, kOpenFlags, 0);
        ASSERT_NE(nullptr, request) << GetLastError();
    }

    TestHttpServer server;
    HINTERNET session = nullptr;
    HINTERNET request = nullptr;
};

// The size probe, a buffer one byte short, and a buffer just large enough.
// Sizes count the terminator while asking, and leave it out once filled.
TEST_F(WininetContract, TextQueriesReportTheSizeTheyNeed)
{
    Open("/small");
    const struct {
        DWORD level;
        std::string value;
    } cases[] = {
        {HTTP_QUERY_RAW_HEADERS_CRLF, kRawHeaders},
        {HTTP_QUERY_CONTENT_LENGTH, "5"},
        {HTTP_QUERY_STATUS_CODE, "200"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.level);
        DWORD needed = (DWORD)c.value.size() + 1;
        DWORD size = 0;
        SetLastError(0);
        EXPECT_FALSE(HttpQueryInfoA(request, c.level, NULL, &size, NULL));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        EXPECT_EQ(needed, size);

        std::vector<char> buffer(needed + 8, '#');
        // Wine writes the status code into a buffer one byte short, its
        // terminator past the end, and reports success.
        if (!(UnderWine() && c.level == HTTP_QUERY_STATUS_CODE)) {
            size = needed - 1;
            SetLastError(0);
            EXPECT_FALSE(HttpQueryInfoA(request, c.level, buffer.data(), &size, NULL));
            EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
            EXPECT_EQ(needed, size);
        }

        size = needed;
        ASSERT_TRUE(HttpQueryInfoA(request, c.level, buffer.data(), &size, NULL)) << GetLastError();
        EXPECT_EQ(needed - 1, size);
        EXPECT_EQ(c.value, std::string(buffer.data()));
        EXPECT_EQ('#', buffer[needed]);
    }
}

TEST_F(WininetContract, NumberQueriesFillADword)
{
    const struct {
        const char *path;
        DWORD level;
        DWORD value;
    } cases[] = {
        {"/small", HTTP_QUERY_STATUS_CODE, 200},
        {"/gone", HTTP_QUERY_STATUS_CODE, 404},
        {"/small", HTTP_QUERY_CONTENT_LENGTH, 5},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Open(c.path);
        DWORD number = 0xDEADBEEF, size = 0;
        SetLastError(0);
        EXPECT_FALSE(HttpQueryInfoA(request, c.level | HTTP_QUERY_FLAG_NUMBER, NULL, &size, NULL));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        EXPECT_EQ((DWORD)sizeof number, size);
        ASSERT_TRUE(HttpQueryInfoA(request, c.level | HTTP_QUERY_FLAG_NUMBER, &number, &size, NULL)) << GetLastError();
        EXPECT_EQ(c.value, number);
        EXPECT_EQ((DWORD)sizeof number, size);
        InternetCloseHandle(request);
        request = nullptr;
    }
}

// A header that is not there is reported as such, before any size question.
TEST_F(WininetContract, MissingHeaderIsNotFoundWithOrWithoutBuffer)
{
    Open("/chunked");
    char buffer[64];
    for (bool withBuffer : {false, true}) {
        DWORD size = withBuffer ? sizeof buffer : 0;
        SetLastError(0);
        EXPECT_FALSE(HttpQueryInfoA(request, HTTP_QUERY_CONTENT_LENGTH, withBuffer ? buffer : NULL, &size, NULL));
        EXPECT_EQ((DWORD)ERROR_HTTP_HEADER_NOT_FOUND, GetLastError()) << withBuffer;
    }
}

// The index names the occurrence wanted and moves past the one returned:
// each of two fields of one name in turn, then none. Wine leaves it alone
// for the status code, which is no header.
TEST_F(WininetContract, IndexMovesToTheNextOccurrence)
{
    server.Route("/two-lengths", [](Connection &connection, const HttpRequest &) {
        connection.Send(StatusLine(200) + "Content-Length: 5\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
    });
    Open("/two-lengths");
    for (DWORD level : {HTTP_QUERY_CONTENT_LENGTH, HTTP_QUERY_STATUS_CODE}) {
        SCOPED_TRACE(level);
        DWORD fields = level == HTTP_QUERY_CONTENT_LENGTH ? 2 : 1;
        if (UnderWine() && level == HTTP_QUERY_STATUS_CODE) fields = 0;
        char buffer[64];
        DWORD size = sizeof buffer, index = 0;
        if (!fields) {
            ASSERT_TRUE(HttpQueryInfoA(request, level, buffer, &size, &index)) << GetLastError();
            EXPECT_EQ(0u, index);
            continue;
        }
        for (DWORD field = 0; field < fields; field++) {
            size = sizeof buffer;
            ASSERT_TRUE(HttpQueryInfoA(request, level, buffer, &size, &index)) << GetLastError();
            EXPECT_EQ(field + 1, index);
        }
        size = sizeof buffer;
        SetLastError(0);
        EXPECT_FALSE(HttpQueryInfoA(request, level, buffer, &size, &index));
        EXPECT_EQ((DWORD)ERROR_HTTP_HEADER_NOT_FOUND, GetLastError());
        EXPECT_EQ(fields, index);
    }
}

// Every read but the last fills the buffer, however the body arrives; the
// end is a successful read of 0 bytes, as often as it is asked for.
TEST_F(WininetContract, ReadsFillTheBufferUntilTheBodyEnds)
{
    std::string body(100000, '\0');
    for (size_t i = 0; i < body.size(); i++) body[i] = (char)(i * 7 + i / 251);
    server.Route("/pieces", RespondInPieces(body, 1000, 2));
    // First a request closed with most of a piece read but not taken: none of
    // it may reach the next request's reads.
    Open("/pieces");
    char first[100];
    DWORD firstRead = 0;
    ASSERT_TRUE(InternetReadFile(request, first, sizeof first, &firstRead)) << GetLastError();
    ASSERT_TRUE(InternetCloseHandle(request));
    Open("/pieces");
    const DWORD expected[] = {32000, 32000, 32000, 4000, 0, 0};
    std::string got;
    std::vector<char> buffer(32000);
    for (DWORD want : expected) {
        DWORD read = 0xFFFF;
        ASSERT_TRUE(InternetReadFile(request, buffer.data(), (DWORD)buffer.size(), &read)) << GetLastError();
        EXPECT_EQ(want, read);
        got.append(buffer.data(), read);
    }
    EXPECT_TRUE(got == body);
}

// Every call on a handle that is not open fails with ERROR_INVALID_HANDLE,
// whether it was closed or never existed. Wine's HttpQueryInfoA says
// ERROR_INTERNET_INCORRECT_HANDLE_TYPE instead.
TEST_F(WininetContract, HandlesThatAreNotOpenAreInvalid)
{
    Open("/small");
    HINTERNET closed = request;
    ASSERT_TRUE(InternetCloseHandle(request));
    request = nullptr;
    HINTERNET madeUp = (HINTERNET)(uintptr_t)0x5EED0;
    for (HINTERNET handle : {closed, madeUp}) {
        char buffer[16];
        DWORD size = sizeof buffer, read = 0;
        SetLastError(0);
        EXPECT_FALSE(InternetReadFile(handle, buffer, sizeof buffer, &read));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
        SetLastError(0);
        EXPECT_FALSE(HttpQueryInfoA(handle, HTTP_QUERY_STATUS_CODE, buffer, &size, NULL));
        EXPECT_EQ(UnderWine() ? (DWORD)ERROR_INTERNET_INCORRECT_HANDLE_TYPE : (DWORD)ERROR_INVALID_HANDLE,
                  GetLastError());
        SetLastError(0);
        EXPECT_FALSE(InternetCloseHandle(handle));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    }
    // A request opened after the close gets a number of its own, so the
    // closed one still names nothing. Wine gives closed numbers out again.
    if (!UnderWine()) {
        Open("/small");
        EXPECT_NE(closed, request);
        char buffer[16];
        DWORD read = 0;
        SetLastError(0);
        EXPECT_FALSE(InternetReadFile(closed, buffer, sizeof buffer, &read));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    }
}

// Closing a session closes the requests opened from it.
TEST_F(WininetContract, ClosingTheSessionClosesItsRequests)
{
    Open("/small");
    ASSERT_TRUE(InternetCloseHandle(session)) << GetLastError();
    session = nullptr;
    char buffer[16];
    DWORD read = 0;
    SetLastError(0);
    EXPECT_FALSE(InternetReadFile(request, buffer, sizeof buffer, &read));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(InternetCloseHandle(request));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    request = nullptr;
}

// What goes out for a URL that HTTP would not take as it stands: a space is
// escaped everywhere. The layer escapes every byte that may not stand in a
// request's target, as %XX of the byte in the caller's narrow string, and
// keeps the fragment to itself; Wine sends those bytes and the fragment as
// they stand.
TEST_F(WininetContract, UnsafeBytesInTheUrlAreEscaped)
{
    const bool wine = UnderWine();
    const struct {
        const char *given;
        const char *sent;
    } cases[] = {
        {"/my file.bin", "/my%20file.bin"},
        {"/q?a b&c=d e", "/q?a%20b&c=d%20e"},
        {"/already%20escaped", "/already%20escaped"},
        {"/\xc3\xa9t\xe9", wine ? "/\xc3\xa9t\xe9" : "/%C3%A9t%E9"},
        {"/a\"b<c>d{e}|f^g`h", wine ? "/a\"b<c>d{e}|f^g`h" : "/a%22b%3Cc%3Ed%7Be%7D%7Cf%5Eg%60h"},
        {"/frag#ment", wine ? "/frag#ment" : "/frag"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        HINTERNET opened = InternetOpenUrlA(session, server.Url(c.given).c_str(), NULL, 0, kOpenFlags, 0);
        if (opened) InternetCloseHandle(opened);
        std::vector<HttpRequest> requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(c.sent, requests.back().target);
    }
}

// A proxy that refuses to open a tunnel for an https URL: its answer is the
// response, status and all, so that the caller learns why. WinINet hands out
// the proxy's body too. curl drops it, so the layer's read fails rather than
// end cleanly short of the Content-Length the head announces; a refusal
// that announces no body reads as an empty one.
TEST_F(WininetContract, ProxyThatRefusesTheTunnelIsTheResponse)
{
    const struct {
        int status;
        std::string body;
    } cases[] = {{403, ""}, {407, "proxy says no\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.status);
        std::string reply = StatusLine(c.status) + "Proxy-Authenticate: Basic realm=\"proxy\"\r\nContent-Length: " +
                            std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
        server.Route("update.invalid:443", [reply](Connection &connection, const HttpRequest &) {
            connection.Send(reply);
        });
        std::string proxy = "127.0.0.1:" + std::to_string(server.Port());
        HINTERNET proxied = InternetOpenA("conformance", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), NULL, 0);
        ASSERT_NE(nullptr, proxied);
        HINTERNET opened = InternetOpenUrlA(proxied, "https://update.invalid/file", NULL, 0, kOpenFlags, 0);
        ASSERT_NE(nullptr, opened) << GetLastError();
        DWORD code = 0, size = sizeof code;
        EXPECT_TRUE(HttpQueryInfoA(opened, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, NULL));
        EXPECT_EQ((DWORD)c.status, code);
        char block[64];
        DWORD length = 1;
        SetLastError(0);
        BOOL read = InternetReadFile(opened, block, sizeof block, &length);
        if (c.body.empty() || UnderWine()) {
            EXPECT_TRUE(read) << GetLastError();
            EXPECT_EQ(c.body, std::string(block, read ? length : 0));
        } else {
            EXPECT_FALSE(read);
            EXPECT_EQ((DWORD)ERROR_INTERNET_CONNECTION_ABORTED, GetLastError());
        }
        InternetCloseHandle(opened);
        InternetCloseHandle(proxied);
        ASSERT_FALSE(server.Requests().empty());
        EXPECT_EQ("CONNECT", server.Requests().back().method);
    }
}

// With INTERNET_FLAG_NO_AUTO_REDIRECT no redirect is followed, whatever its
// status: the redirect is the response, its Location as sent and its body
// readable, for the library to follow it itself.
TEST_F(WininetContract, RedirectsAreTheResponse)
{
    server.Route("/target", Respond(200, "target"));
    for (int status : {300, 301, 302, 303, 304, 305, 306, 307, 308, 310, 399}) {
        std::string path = "/status" + std::to_string(status);
        SCOPED_TRACE(path);
        server.Route(path, Redirect(status, "/target"));
        Open(path);
        DWORD code = 0, size = sizeof code;
        EXPECT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, NULL));
        EXPECT_EQ((DWORD)status, code);
        char text[64];
        size = sizeof text;
        ASSERT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_LOCATION, text, &size, NULL)) << GetLastError();
        EXPECT_EQ("/target", std::string(text, size));
        // A 304 has no body, whatever its head says; Wine reads one.
        std::string body = status == 304 && !UnderWine() ? "" : "moved\n";
        DWORD read = 0;
        EXPECT_TRUE(InternetReadFile(request, text, sizeof text, &read)) << GetLastError();
        EXPECT_EQ(body, std::string(text, read));
        InternetCloseHandle(request);
        request = nullptr;
    }
}

// Windows also follows redirects itself, and sends extra header lines; the
// library asks for neither, and the layer does neither: such an opening
// fails with ERROR_NOT_SUPPORTED.
TEST_F(WininetContract, OpeningsTheLibraryNeverMakes)
{
    const struct {
        LPCSTR headers;
        DWORD flags;
    } cases[] = {{NULL, INTERNET_FLAG_RELOAD}, {"X-Extra: 1\r\n", kOpenFlags}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.flags);
        SetLastError(0);
        request = InternetOpenUrlA(session, server.Url("/moved").c_str(), c.headers, (DWORD)-1, c.flags, 0);
#ifdef _WIN32
        ASSERT_NE(nullptr, request) << GetLastError();
        InternetCloseHandle(request);
        request = nullptr;
#else
        EXPECT_EQ(nullptr, request);
        EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
#endif
    }
}

// Replies that are not what a plain response looks like. A head without
// fields is one HTTP allows, and it is handed out as sent, version and
// reason as they came. The rest have no
// HTTP head the layer could hand out, and the opening fails. Wine makes up
// "HTTP/1.0 200 OK" for a reply that is not HTTP (HTTP/0.9), and takes any
// informational status but 100 for the final one, the real response after
// it for its body.
TEST_F(WininetContract, RepliesWithoutAUsableHead)
{
    const char *kFinal = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const struct {
        std::string reply;
        DWORD status;  // 0: the layer refuses the reply
        std::string head, body;
        DWORD wineStatus;
        std::string wineHead, wineBody;
    } cases[] = {
        {"HTTP/1.0 200 OK\r\n\r\nhello world", 200, "HTTP/1.0 200 OK\r\n\r\n", "hello world",
         200, "HTTP/1.0 200 OK\r\n\r\n", "hello world"},
        {"HTTP/1.1 200 Fine\r\n\r\nhello", 200, "HTTP/1.1 200 Fine\r\n\r\n", "hello",
         200, "HTTP/1.1 200 Fine\r\n\r\n", "hello"},
        {"not HTTP\r\n\r\nhello", 0, "", "", 200, "HTTP/1.0 200 OK\r\n\r\n", "\r\nhello"},
        {"HTTP/1.1 101 Switching Protocols\r\n\r\n", 0, "", "", 101, "HTTP/1.1 101 Switching Protocols\r\n\r\n", ""},
        {"HTTP/1.1 199 Odd\r\nContent-Length: 2\r\n\r\nok", 0, "", "",
         199, "HTTP/1.1 199 Odd\r\nContent-Length: 2\r\n\r\n", "ok"},
        {std::string("HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n") + kFinal, 200,
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", "ok",
         103, "HTTP/1.1 103 Early Hints\r\nLink: </a>\r\n\r\n", kFinal},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reply);
        const bool wine = UnderWine();
        std::string reply = c.reply;
        server.Route("/odd", [reply](Connection &connection, const HttpRequest &) { connection.Send(reply); });
        SetLastError(0);
        request = InternetOpenUrlA(session, server.Url("/odd").c_str(), NULL, 0, kOpenFlags, 0);
        if (!(wine ? c.wineStatus : c.status)) {
            EXPECT_EQ(nullptr, request);
            EXPECT_EQ((DWORD)ERROR_HTTP_INVALID_SERVER_RESPONSE, GetLastError());
            continue;
        }
        ASSERT_NE(nullptr, request) << GetLastError();
        DWORD code = 0, size = sizeof code;
        EXPECT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, NULL));
        EXPECT_EQ(wine ? c.wineStatus : c.status, code);
        char text[256];
        size = sizeof text;
        EXPECT_TRUE(HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, text, &size, NULL)) << GetLastError();
        EXPECT_EQ(wine ? c.wineHead : c.head, std::string(text, size));
        DWORD read = 0;
        EXPECT_TRUE(InternetReadFile(request, text, sizeof text, &read)) << GetLastError();
        EXPECT_EQ(wine ? c.wineBody : c.body, std::string(text, read));
        InternetCloseHandle(request);
        request = nullptr;
    }
}

// A Location taken against the URL it came from, as RFC 3986 resolves it.
// By default, bytes that may not stand in a path are escaped there; with
// ICU_ENCODE_SPACES_ONLY only spaces are, everywhere. Where Wine's answer
// differs, it is the second one: it keeps the old rule for a query alone,
// drops the query for an empty reference, turns a backslash into a slash,
// and keeps dot segments above the root.
TEST_F(WininetContract, CombineUrlResolvesAReference)
{
    const char *base = "http://h.example/a/b/c?q=1#f";
    const struct {
        const char *base, *relative;
        DWORD flags;
        const char *combined, *wine;
    } cases[] = {
        {base, "d", 0, "http://h.example/a/b/d", nullptr},
        {base, "../../../../d", 0, "http://h.example/d", nullptr},
        {base, "/x/./y/../z", 0, "http://h.example/x/z", nullptr},
        {base, "//other.example/p", 0, "http://other.example/p", nullptr},
        {base, "https://abs.example/z", 0, "https://abs.example/z", nullptr},
        {base, "http:rel", 0, "http://h.example/a/b/rel", nullptr},
        {base, "#g", 0, "http://h.example/a/b/c?q=1#g", nullptr},
        {base, "d e", ICU_NO_ENCODE, "http://h.example/a/b/d e", nullptr},
        {base, "d e?x y#z z", ICU_ENCODE_SPACES_ONLY, "http://h.example/a/b/d%20e?x%20y#z%20z", nullptr},
        {base, "/\xc3\xa9<>", ICU_ENCODE_SPACES_ONLY, "http://h.example/\xc3\xa9<>", nullptr},
        {base, "/\xc3\xa9 <>?x y#z z", 0, "http://h.example/%C3%A9%20%3C%3E?x y#z z", nullptr},
        {base, "?q2", 0, "http://h.example/a/b/c?q2", "http://h.example/a/b/?q2"},
        {base, "", 0, "http://h.example/a/b/c?q=1", "http://h.example/a/b/"},
        {base, "d\\e", ICU_NO_ENCODE, "http://h.example/a/b/d\\e", "http://h.example/a/b/d/e"},
        {"https://h.example", "../d", 0, "https://h.example/d", "https://h.example/../d"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.relative);
        std::string expected = UnderWine() && c.wine ? c.wine : c.combined;
        char combined[256];
        DWORD size = sizeof combined;
        ASSERT_TRUE(InternetCombineUrlA(c.base, c.relative, combined, &size, c.flags)) << GetLastError();
        EXPECT_EQ(expected, std::string(combined));
        EXPECT_EQ(expected.size(), size);
    }
    // A buffer too small, or none, fails with the size needed, terminator
    // included. Wine leaves the last error alone.
    for (bool withBuffer : {false, true}) {
        char small[8];
        DWORD size = withBuffer ? sizeof small : 0;
        SetLastError(0);
        EXPECT_FALSE(InternetCombineUrlA(base, "d", withBuffer ? small : NULL, &size, 0));
        EXPECT_EQ(sizeof "http://h.example/a/b/d", size);
        if (!UnderWine()) {
            EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        }
    }
}

// The request's URL is where its response came from: a redirect's own.
TEST_F(WininetContract, UrlOptionIsTheAddressTheResponseCameFrom)
{
    Open("/moved");
    std::string final = server.Url("/moved");
    DWORD size = 0;
    SetLastError(0);
    EXPECT_FALSE(InternetQueryOptionA(request, INTERNET_OPTION_URL, NULL, &size));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(final.size() + 1, size);
    std::vector<char> url(size);
    ASSERT_TRUE(InternetQueryOptionA(request, INTERNET_OPTION_URL, url.data(), &size));
    EXPECT_EQ(final, std::string(url.data(), size));
}

}  // namespace
