// The system-call table (system_calls.h): its standard functions, the names
// its entries go by, and WinPosix_SetSystemCall, WinPosix_GetSystemCall and
// WinPosix_NextSystemCall (winposix.h), which find an entry by name. The
// layer's own calls never look a name up: they call the entry.
#include "system_calls.h"

#include "user32/x11drv.h"

#include <winposix.h>

#include <cstring>

namespace {

constexpr SystemCalls kStandard = {
    ::open,
    ::fopen,
    ::fdopen,
    ::fwrite,
    ::fflush,
    ::fclose,
    ::unlink,
    ::rename,
    ::renameat2,
    ::link,
    ::access,
    ::stat,
    ::lstat,
    ::fstat,
    ::fcntl,
    ::chmod,
    ::eventfd,
    ::read,
    ::write,
    ::posix_spawn,
    ::curl_easy_init,
    ::curl_multi_init,
    ::curl_multi_add_handle,
    ::curl_multi_perform,
    ::curl_multi_poll,
    ::curl_slist_append,
    X11DRV_OpenDisplay,
};

}  // namespace

// Set before any code runs (constant initialisation): a static constructor
// of another module may call the layer first.
SystemCalls sys = kStandard;

namespace {

// An entry reached by name, through functions that read and write it as
// its own type.
struct Entry {
    const char *name;
    WinPosixSystemCall (*current)();
    void (*put)(WinPosixSystemCall function);
};

#define ENTRY(name)                                                    \
    {#name, [] { return (WinPosixSystemCall)sys.name; },               \
     [](WinPosixSystemCall function) {                                  \
         sys.name = function ? (decltype(sys.name))function : kStandard.name; \
     }}
constexpr Entry kEntries[] = {
    ENTRY(open),
    ENTRY(fopen),
    ENTRY(fdopen),
    ENTRY(fwrite),
    ENTRY(fflush),
    ENTRY(fclose),
    ENTRY(unlink),
    ENTRY(rename),
    ENTRY(renameat2),
    ENTRY(link),
    ENTRY(access),
    ENTRY(stat),
    ENTRY(lstat),
    ENTRY(fstat),
    ENTRY(fcntl),
    ENTRY(chmod),
    ENTRY(eventfd),
    ENTRY(read),
    ENTRY(write),
    ENTRY(posix_spawn),
    ENTRY(curl_easy_init),
    ENTRY(curl_multi_init),
    ENTRY(curl_multi_add_handle),
    ENTRY(curl_multi_perform),
    ENTRY(curl_multi_poll),
    ENTRY(curl_slist_append),
    ENTRY(XOpenDisplay),
};
#undef ENTRY
constexpr size_t kEntryCount = sizeof kEntries / sizeof kEntries[0];
static_assert(kEntryCount * sizeof(WinPosixSystemCall) == sizeof(SystemCalls), "every entry has a name");

const Entry *Find(const char *name)
{
    for (const Entry &entry : kEntries)
        if (name && strcmp(entry.name, name) == 0) return &entry;
    return nullptr;
}

}  // namespace

BOOL WinPosix_SetSystemCall(const char *name, WinPosixSystemCall function)
{
    if (!name) {
        for (const Entry &entry : kEntries) entry.put(nullptr);
        return TRUE;
    }
    const Entry *entry = Find(name);
    if (!entry) return FALSE;
    entry->put(function);
    return TRUE;
}

WinPosixSystemCall WinPosix_GetSystemCall(const char *name)
{
    const Entry *entry = Find(name);
    return entry ? entry->current() : nullptr;
}

const char *WinPosix_NextSystemCall(const char *name)
{
    if (!name) return kEntries[0].name;
    const Entry *entry = Find(name);
    return entry && entry + 1 < kEntries + kEntryCount ? entry[1].name : nullptr;
}
