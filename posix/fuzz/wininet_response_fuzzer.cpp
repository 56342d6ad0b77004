// libFuzzer target for the layer's WinINet: the input is the whole reply of a
// server (status line, header block, body, chunked framing and all). A
// loopback server thread sends it back to every request, and the layer's
// real calls read it as a caller would: the URL is opened, the headers and
// status queried, the body read to its end. Besides the sanitizers' own
// findings, it checks what must hold for any reply:
//
// - a read never reports more than it was given room for, and a body is
//   never longer than the reply it came in (the layer decodes nothing);
// - a body read to a clean end whose one Content-Length is plain digits,
//   without a transfer coding and with a status that has a body, is exactly
//   that long;
// - every handle is released once closed.
//
// The URL is opened as the programs open it (INTERNET_FLAG_NO_AUTO_REDIRECT:
// a redirect is the response). The request goes through the server as a
// proxy, so that no name is ever looked up.
#include <wininet.h>
#include <winposix.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

int listener = -1;
std::string proxy;
std::mutex replyLock;
std::string reply;

// Reads the request's head, so that the reply never races it.
void ReadRequest(int client)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd ready = {client, POLLIN, 0};
        if (poll(&ready, 1, 1000) <= 0) return;
        ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) return;
        request.append(buffer, (size_t)got);
    }
}

void Serve()
{
    for (;;) {
        int client = accept(listener, nullptr, nullptr);
        if (client < 0) continue;
        ReadRequest(client);
        std::string bytes;
        {
            std::lock_guard<std::mutex> hold(replyLock);
            bytes = reply;
        }
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t now = send(client, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (now <= 0) break;
            sent += (size_t)now;
        }
        // An orderly end, so the client reads every byte before it sees it.
        shutdown(client, SHUT_WR);
        char drain[4096];
        pollfd ready = {client, POLLIN, 0};
        while (poll(&ready, 1, 50) > 0 && recv(client, drain, sizeof drain, 0) > 0) {
        }
        close(client);
    }
}

bool Start()
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, (sockaddr *)&address, sizeof address) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, (sockaddr *)&address, &length) != 0) {
        perror("fuzz server");
        abort();
    }
    proxy = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::thread(Serve).detach();
    // Short time-outs keep a stalling reply cheap; the server never stalls
    // for long, as it closes after each reply.
    WinPosix_SetInternetTimeouts(1000, 300);
    return true;
}

void Check(bool holds, const char *what)
{
    if (!holds) {
        fprintf(stderr, "fuzz: %s\n", what);
        abort();
    }
}

bool QueryText(HINTERNET request, DWORD level, std::string *value)
{
    char text[256];
    DWORD size = sizeof text;
    if (!HttpQueryInfoA(request, level, text, &size, nullptr)) return false;
    Check(size < sizeof text && text[size] == '\0', "a text answer is not terminated where its length says");
    value->assign(text, size);
    return true;
}

void ReadResponse(HINTERNET request, size_t replySize)
{
    DWORD size = 0;
    Check(!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr) &&
              GetLastError() == ERROR_INSUFFICIENT_BUFFER,
          "the size probe did not ask for a buffer");
    std::string headers(size, '\0');
    DWORD filled = size;
    Check(HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, &headers[0], &filled, nullptr) && filled + 1 == size,
          "the header block did not fit the size the probe gave");

    DWORD status = 0, statusSize = sizeof status;
    Check(HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &statusSize, nullptr),
          "no status for an open request");
    std::string length, coding;
    bool haveLength = QueryText(request, HTTP_QUERY_CONTENT_LENGTH, &length);
    bool haveCoding = QueryText(request, HTTP_QUERY_TRANSFER_ENCODING, &coding);

    static char block[32000];
    size_t total = 0;
    bool clean = false;
    for (int reads = 0; reads < 100000; reads++) {
        DWORD got = 0;
        // Odd sizes too, so that the spill between reads is walked.
        DWORD room = reads % 3 == 0 ? sizeof block : 1 + (DWORD)(reads * 7919 % 5000);
        if (!InternetReadFile(request, block, room, &got)) break;
        Check(got <= room, "a read reported more than it had room for");
        if (got == 0) {
            clean = true;
            break;
        }
        total += got;
        Check(total <= replySize, "the body is longer than the reply");
    }
    bool plainLength = haveLength && !length.empty() && length.size() < 19 &&
                       length.find_first_not_of("0123456789") == std::string::npos;
    if (clean && plainLength && !haveCoding && status >= 200 && status != 204 && status != 304)
        Check(total == strtoull(length.c_str(), nullptr, 10), "a clean end came before or after the Content-Length");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool started = Start();
    (void)started;
    {
        std::lock_guard<std::mutex> hold(replyLock);
        reply.assign((const char *)data, size);
    }
    HINTERNET session = InternetOpenA("fuzz", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), "", 0);
    Check(session != nullptr, "no session");
    HINTERNET request = InternetOpenUrlA(session, "http://fuzz.invalid/file", nullptr, 0,
                                         INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
    if (request) {
        ReadResponse(request, size);
        Check(InternetCloseHandle(request), "the request did not close");
    }
    Check(InternetCloseHandle(session), "the session did not close");
    Check(WinPosix_OpenInternetHandles() == 0, "a handle is still open");
    return 0;
}
