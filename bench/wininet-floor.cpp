// The floor the library is measured against on Windows: the same WinINet
// calls, made as the library makes them, and only the per-block work it must do (a fresh block, the
// progress line formatted and written to the debugger output, the write).
//
//     wininet-floor URL FILE
#include <windows.h>
#include <wininet.h>

#include "measure.h"

#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: wininet-floor URL FILE\n");
        return 2;
    }
    double wall = WallClock(), cpu = CpuClock();
    HINTERNET session = InternetOpenA("Larkspan", INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    HINTERNET request = InternetOpenUrlA(session, argv[1], NULL, 0, INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT, 0);
    FILE *file = fopen(argv[2], "w+b");
    unsigned long long received = 0;
    int result = request && file ? 0 : 1;
    while (result == 0) {
        char *block = (char *)malloc(32000);
        char line[512];
        snprintf(line, sizeof line, "Downloading file.\nDownloaded %llu KBytes", received / 1000);
        OutputDebugStringA(line);
        DWORD length = 0;
        if (!InternetReadFile(request, block, 32000, &length)) result = 1;
        if (length == 0) {
            free(block);
            break;
        }
        received += length;
        fwrite(block, 1, length, file);
        free(block);
    }
    if (file) fclose(file);
    if (request) InternetCloseHandle(request);
    InternetCloseHandle(session);
    PrintMeasure("floor", WallClock() - wall, CpuClock() - cpu, received, result);
    return 0;
}
