// shell32: ShellExecuteW "open" of a program, started detached and not waited for.
#include <shellapi.h>
#include <windows.h>

#include "system_calls.h"
#include "text_convert.h"

#include <cerrno>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

HINSTANCE ShellError(DWORD code)
{
    SetLastError(code);
    return (HINSTANCE)(uintptr_t)code;
}

}  // namespace

// Only programs can be opened (there are no file associations here). A name
// without a directory part is taken in `directory`, or else in the current
// directory, as the shell does for a program it is handed by name. Parameters
// are split on spaces only.
HINSTANCE WINAPI ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory, INT)
{
    std::string program = Narrow(file);
    if (verb && *verb && Narrow(verb) != "open") return ShellError(SE_ERR_NOASSOC);
    if (program.empty()) return ShellError(SE_ERR_FNF);

    std::string folder = Narrow(directory);
    if (program.find('/') == std::string::npos) program = (folder.empty() ? std::string(".") : folder) + "/" + program;
    struct stat info;
    if (sys.stat(program.c_str(), &info) != 0) return ShellError(errno == ENOTDIR ? SE_ERR_PNF : SE_ERR_FNF);
    if (S_ISDIR(info.st_mode) || sys.access(program.c_str(), X_OK) != 0) return ShellError(SE_ERR_NOASSOC);

    std::vector<std::string> words{program};
    std::string all = Narrow(parameters);
    for (size_t start = 0; start < all.size();) {
        size_t space = all.find(' ', start);
        if (space == std::string::npos) space = all.size();
        if (space > start) words.push_back(all.substr(start, space - start));
        start = space + 1;
    }
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);

    // A session of its own, so that the program outlives its starter and is
    // not in the starter's terminal job.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child;
    int failed = sys.posix_spawn(&child, program.c_str(), nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (failed) return ShellError(failed == ENOMEM ? SE_ERR_OOM : SE_ERR_ACCESSDENIED);
    return (HINSTANCE)(uintptr_t)42;
}
