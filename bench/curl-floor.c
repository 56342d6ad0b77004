/* The floor the native library is measured against: a plain libcurl program
   making the same requests in a row, each on a fresh connection, with only
   the per-block work the library must do (a fresh 32000-byte block, the
   progress line formatted, the write through a stream whose buffer is one
   block). What the library spends beyond it is what the layer costs.

       curl-floor COUNT URL FILE      COUNT downloads of URL, each into FILE

   Prints the time from before the first request to after the last, as
   larkspan-bench's "row" does. */
#include <curl/curl.h>

#include "measure.h"

#include <stdlib.h>
#include <string.h>

enum { kBlockSize = 32000 };

struct Download {
    FILE *file;
    char *block;
    size_t filled;
    unsigned long long received;
    int failed;
};

/* The block is full or the body has ended: the progress line, the write, and
   a fresh block for what follows. */
static void Flush(struct Download *download)
{
    char line[512];
    snprintf(line, sizeof line, "Downloading file.\nDownloaded %llu KBytes", download->received / 1000);
    download->received += download->filled;
    if (fwrite(download->block, 1, download->filled, download->file) != download->filled) download->failed = 1;
    free(download->block);
    download->block = malloc(kBlockSize);
    download->filled = 0;
    if (!download->block) download->failed = 1;
}

static size_t OnBody(char *data, size_t size, size_t count, void *context)
{
    struct Download *download = context;
    size_t length = size * count, taken = 0;
    while (taken < length && !download->failed) {
        size_t part = length - taken;
        if (part > kBlockSize - download->filled) part = kBlockSize - download->filled;
        memcpy(download->block + download->filled, data + taken, part);
        download->filled += part;
        taken += part;
        if (download->filled == kBlockSize) Flush(download);
    }
    return download->failed ? 0 : length;
}

static int Download(const char *url, const char *path, unsigned long long *bytes)
{
    static char streamBuffer[kBlockSize];
    struct Download download = {0};
    CURL *easy = curl_easy_init();
    long status = 0;
    CURLcode code;
    download.file = fopen(path, "wb");
    download.block = malloc(kBlockSize);
    if (!easy || !download.file || !download.block) return 1;
    setvbuf(download.file, streamBuffer, _IOFBF, sizeof streamBuffer);
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &download);
    code = curl_easy_perform(easy);
    if (code == CURLE_OK && download.filled) Flush(&download);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(easy);
    free(download.block);
    if (fclose(download.file) != 0) download.failed = 1;
    *bytes += download.received;
    return code != CURLE_OK || status != 200 || download.failed;
}

int main(int argc, char **argv)
{
    int count, i, result = 0;
    unsigned long long bytes = 0;
    double wall, cpu;
    if (argc != 4 || (count = atoi(argv[1])) < 1) {
        fprintf(stderr, "usage: curl-floor COUNT URL FILE\n");
        return 2;
    }
    wall = WallClock();
    cpu = CpuClock();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    for (i = 0; i < count && !result; i++) result = Download(argv[2], argv[3], &bytes);
    PrintMeasure("row", WallClock() - wall, CpuClock() - cpu, bytes, result);
    curl_global_cleanup();
    return result;
}
