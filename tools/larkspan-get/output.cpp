#include "output.h"

#include "failure_words.h"
#include "stdout_bridge.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const int kExitWrite = 23;  // exit_codes.h: the output could not be made, written or put in place

std::string Words(unsigned long code)
{
    if (const char *words = ErrorWords(code)) return words;
    char text[32];
    snprintf(text, sizeof text, "error %lu", code);
    return text;
}

#ifndef _WIN32
// Windows' number for what a file call failed with, so both builds say the same.
DWORD CodeFromErrno(int error)
{
    switch (error) {
    case ENOENT: case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: case EISDIR: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC: case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE: case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    default: return ERROR_GEN_FAILURE;
    }
}
#endif

// Creates `path` as a new, empty file; an existing name, whatever it holds,
// is refused (ERROR_FILE_EXISTS), so the .part file is never someone's file
// or a link to one. Returns 0 or the error.
DWORD CreateNewFile(const char *path)
{
#ifdef _WIN32
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : GetLastError();
    CloseHandle(file);
#else
    int file = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0) return CodeFromErrno(errno);
    close(file);
#endif
    return 0;
}

// A FIFO, a device or a pipe: written as the body comes, never replaced.
bool IsStream(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DEVICE)) return true;
#ifdef _WIN32
    // Windows calls NUL, CON and named pipes files: their handles tell. A
    // pipe's name is not opened to ask, which would take its one instance.
    if (_strnicmp(path, "\\\\.\\pipe\\", 9) == 0) return true;
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool stream = GetFileType(file) != FILE_TYPE_DISK;
    CloseHandle(file);
    return stream;
#else
    return false;
#endif
}

}  // namespace

int OutputOpen(Output *output, const char *target)
{
    output->target = target;
    output->stream = false;
    output->bridge = NULL;
    if (output->target == "-") {
        unsigned long error = 0;
        output->stream = true;
        output->bridge = StdoutBridgeOpen(&output->libraryPath, &error);
        if (output->bridge) return 0;
        fprintf(stderr, "larkspan-get: cannot pass the body to standard output: %s\n", Words(error).c_str());
        return kExitWrite;
    }
    if (IsStream(target)) {
        output->stream = true;
        output->libraryPath = target;
        return 0;
    }
    DWORD attributes = GetFileAttributesA(target);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fprintf(stderr, "larkspan-get: %s is a folder; name a file in it\n", target);
        return kExitWrite;
    }
    // FILE.part, or FILE.1.part and so on while another download (or one
    // kept with --keep-partial) holds the name.
    DWORD error = 0;
    for (int attempt = 0; attempt < 100; attempt++) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, attempt ? ".%d.part" : ".part", attempt);
        output->libraryPath = output->target + suffix;
        error = CreateNewFile(output->libraryPath.c_str());
        if (error != ERROR_FILE_EXISTS) break;
    }
    if (error == 0) return 0;
    fprintf(stderr, "larkspan-get: cannot create %s (beside %s): %s\n", output->libraryPath.c_str(), target,
            Words(error).c_str());
    output->libraryPath.clear();
    return kExitWrite;
}

int OutputFinish(Output *output, bool stored, bool keepPartial)
{
    const char *target = output->target.c_str(), *part = output->libraryPath.c_str();
    if (output->bridge) {
        bool whole = StdoutBridgeClose(output->bridge);
        output->bridge = NULL;
        if (!whole) {
            fprintf(stderr, "larkspan-get: standard output stopped taking the body (its reader went away?)\n");
            return kExitWrite;
        }
        if (!stored) fprintf(stderr, "larkspan-get: what arrived before the failure went to standard output\n");
        return 0;
    }
    if (output->stream) {
        if (!stored) fprintf(stderr, "larkspan-get: what arrived before the failure went to %s, which is not a plain "
                                     "file and is written as the body comes\n", target);
        return 0;
    }
    if (stored) {
        if (MoveFileExA(part, target, MOVEFILE_REPLACE_EXISTING)) return 0;
        DWORD error = GetLastError();
        fprintf(stderr, "larkspan-get: cannot put %s in place as %s: %s; the whole body is in %s\n", part, target,
                Words(error).c_str(), part);
        return kExitWrite;
    }
    if (keepPartial) {
        fprintf(stderr, "larkspan-get: what arrived is kept in %s; %s is as it was\n", part, target);
        return 0;
    }
    if (remove(part) != 0)
        fprintf(stderr, "larkspan-get: cannot remove %s, which holds what arrived: %s\n", part,
                Words(GetLastError()).c_str());
    return 0;
}
