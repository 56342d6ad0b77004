// Where each body goes (output.h): the .part file made and kept open beside
// the target, put in place only while its name still holds it; standard
// output and streams written as the body comes.
#include "output.h"

#include "bridge.h"
#include "exit_codes.h"
#include "failure_words.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef _WIN32
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {


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

// Creates `path` as a new, empty file and keeps it open in `output`; an
// existing name, whatever it holds, is refused (ERROR_FILE_EXISTS), so the
// .part file is never someone's file or a link to one. Returns 0 or the error.
DWORD CreatePart(Output *output, const char *path)
{
#ifdef _WIN32
    // With the right to delete, to rename or remove this very file at the
    // end; shared for reading only, so that no program of this system
    // renames or replaces it meanwhile (under Wine a Unix program still may).
    HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : GetLastError();
    output->file = file;
#else
    int file = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0) return CodeFromErrno(errno);
    struct stat info;
    if (fstat(file, &info) != 0) {
        DWORD error = CodeFromErrno(errno);
        close(file);
        return error;
    }
    output->file = file;
    output->device = info.st_dev;
    output->inode = info.st_ino;
#endif
    return 0;
}

// Whether the .part file's name still holds the file made for it, not a
// link or a file that someone put in its place. False too where it can't
// be told. Natively only calls that are safe in a signal handler.
bool NameHoldsPart(const Output *output)
{
#ifdef _WIN32
    if (output->file == INVALID_HANDLE_VALUE) return false;
    // The name's own file: a link is opened as itself where Windows knows it
    // for one (Wine opens what it leads to, a file with another index).
    HANDLE named = CreateFileA(output->part.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (named == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION held, found;
    bool same = GetFileInformationByHandle(output->file, &held) && GetFileInformationByHandle(named, &found) &&
                (held.nFileIndexHigh || held.nFileIndexLow) &&  // no index: nothing to tell files apart by
                held.dwVolumeSerialNumber == found.dwVolumeSerialNumber &&
                held.nFileIndexHigh == found.nFileIndexHigh && held.nFileIndexLow == found.nFileIndexLow;
    CloseHandle(named);
    return same;
#else
    struct stat info;
    return output->file >= 0 && lstat(output->part.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_dev == output->device && info.st_ino == output->inode;
#endif
}

void ClosePart(Output *output)
{
#ifdef _WIN32
    if (output->file != INVALID_HANDLE_VALUE) CloseHandle(output->file);
    output->file = INVALID_HANDLE_VALUE;
#else
    if (output->file >= 0) close(output->file);
    output->file = -1;
#endif
}

// Removes the held file, which its name still holds, and closes it. 0 or the error.
DWORD RemovePart(Output *output)
{
    DWORD error = 0;
#ifdef _WIN32
    // Removed as the file this handle holds (it goes when the handle is
    // closed), never by a name looked up again.
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (!SetFileInformationByHandle(output->file, FileDispositionInfo, &dispose, sizeof dispose)) error = GetLastError();
#else
    if (unlink(output->part.c_str()) != 0) error = CodeFromErrno(errno);
#endif
    ClosePart(output);
    return error;
}

// Gives the held file, which its name still holds, the target's name, and
// closes it. 0 or the error.
DWORD PutPartInPlace(Output *output)
{
    DWORD error = 0;
#ifdef _WIN32
    // This handle's file is renamed, replacing as MoveFileExA does; the new
    // name is taken as MoveFileExA takes it, against the current folder.
    const char *name = output->target.c_str();
    int characters = MultiByteToWideChar(CP_ACP, 0, name, -1, NULL, 0);
    size_t size = sizeof(FILE_RENAME_INFO) + characters * sizeof(WCHAR);
    FILE_RENAME_INFO *rename = characters > 0 ? (FILE_RENAME_INFO *)calloc(1, size) : NULL;
    if (!rename) {
        error = characters > 0 ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
    } else {
        rename->ReplaceIfExists = TRUE;
        rename->FileNameLength = (characters - 1) * sizeof(WCHAR);
        MultiByteToWideChar(CP_ACP, 0, name, -1, rename->FileName, characters);
        if (!SetFileInformationByHandle(output->file, FileRenameInfo, rename, (DWORD)size)) error = GetLastError();
        free(rename);
    }
#else
    // One rename (the layer's MoveFileExA).
    if (!MoveFileExA(output->part.c_str(), output->target.c_str(), MOVEFILE_REPLACE_EXISTING)) error = GetLastError();
#endif
    ClosePart(output);
    return error;
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
    output->part.clear();
    output->stream = false;
    output->bridge = NULL;
    output->bridgeFailure = 0;
#ifdef _WIN32
    output->file = INVALID_HANDLE_VALUE;
#else
    output->file = -1;
#endif
    if (output->target == "-") {
        unsigned long error = 0;
        output->stream = true;
#ifdef _WIN32
        output->bridge = BridgeOpen(GetStdHandle(STD_OUTPUT_HANDLE), &output->libraryPath, &error);
#else
        output->bridge = BridgeOpen(STDOUT_FILENO, &output->libraryPath, &error);
#endif
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
        output->part = output->target + suffix;
        error = CreatePart(output, output->part.c_str());
        if (error != ERROR_FILE_EXISTS) break;
    }
    if (error) {
        fprintf(stderr, "larkspan-get: cannot create %s (beside %s): %s\n", output->part.c_str(), target,
                Words(error).c_str());
        output->part.clear();
        return kExitWrite;
    }
#ifdef _WIN32
    unsigned long bridgeError = 0;
    output->bridge = BridgeOpen(output->file, &output->libraryPath, &bridgeError);
    if (!output->bridge) {
        fprintf(stderr, "larkspan-get: cannot pass the body to %s: %s\n", output->part.c_str(),
                Words(bridgeError).c_str());
        if (NameHoldsPart(output)) RemovePart(output);
        ClosePart(output);
        return kExitWrite;
    }
#else
    output->libraryPath = "/proc/self/fd/" + std::to_string(output->file);
#endif
    return 0;
}

bool OutputDrain(Output *output)
{
    if (!output->bridge) return true;
    output->bridgeFailure = BridgeClose(output->bridge);
    output->bridge = NULL;
    return output->bridgeFailure == 0;
}

int OutputFinish(Output *output, bool stored, bool keepPartial)
{
    const char *target = output->target.c_str(), *part = output->part.c_str();
    if (output->stream) {
        if (output->target == "-" && output->bridgeFailure) {
            fprintf(stderr, "larkspan-get: standard output stopped taking the body (its reader went away?)\n");
            return kExitWrite;
        }
        if (stored) return 0;
        if (output->target == "-")
            fprintf(stderr, "larkspan-get: what arrived before the failure went to standard output\n");
        else
            fprintf(stderr, "larkspan-get: what arrived before the failure went to %s, which is not a plain file and "
                            "is written as the body comes\n", target);
        return 0;
    }
    int code = 0;
    if (output->bridgeFailure) {
        fprintf(stderr, "larkspan-get: cannot write %s: %s\n", part, Words(output->bridgeFailure).c_str());
        stored = false;
        code = kExitWrite;
    }
    if (!NameHoldsPart(output)) {
        ClosePart(output);
        fprintf(stderr, "larkspan-get: %s no longer holds the file this download wrote, or this system can't tell "
                        "(someone may have put a link or a file of theirs in its place); it is left alone, and %s "
                        "is as it was\n", part, target);
        return stored ? kExitWrite : code;
    }
    if (stored) {
        DWORD error = PutPartInPlace(output);
        if (!error) return 0;
        fprintf(stderr, "larkspan-get: cannot put %s in place as %s: %s; the whole body is in %s\n", part, target,
                Words(error).c_str(), part);
        return kExitWrite;
    }
    if (keepPartial) {
        ClosePart(output);
        fprintf(stderr, "larkspan-get: what arrived is kept in %s; %s is as it was\n", part, target);
        return code;
    }
    if (DWORD error = RemovePart(output))
        fprintf(stderr, "larkspan-get: cannot remove %s, which holds what arrived: %s\n", part, Words(error).c_str());
    return code;
}

void OutputRemoveAtInterrupt(const Output *output)
{
    if (output->stream || !NameHoldsPart(output)) return;
#ifdef _WIN32
    // The file goes when its handle is closed: here, so that it has gone
    // before the process has (Wine's server closes a finished process's
    // handles after its parent may have looked). The process ends right
    // after: the bridge's copying into the handle ends with it.
    FILE_DISPOSITION_INFO dispose = {TRUE};
    if (SetFileInformationByHandle(output->file, FileDispositionInfo, &dispose, sizeof dispose))
        CloseHandle(output->file);
#else
    unlink(output->part.c_str());
#endif
}
