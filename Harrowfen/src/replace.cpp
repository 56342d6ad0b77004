// Replacing one row: move the installed file aside, move the waiting file in,
// then remove the old file. Every step can be refused while the main
// application's process is still going away, so refusals for a busy file are
// retried until the row's patience runs out.
#include "replace.h"

#include <windows.h>

#include <stdio.h>

const ReplacementRow kReplacementTable[5] = {
    {"Larkspan.dll", "Larkspan.tmp", "Larkspan.dll.bak"},
    {"Glimmerock.dll", "Glimmerock.tmp", "Glimmerock.dll.bak"},
    {"Mapletide.dll", "Mapletide.tmp", "Mapletide.dll.bak"},
    {"wrenmarsh.dat", "wrenmarsh.tmp", "wrenmarsh.dat.bak"},
    {"Quillbrook.exe", "Quillbrook.tmp", "Quillbrook.exe.bak"},
};

namespace {

// How long one row waits for its files to be let go, and how often it tries.
const DWORD kRowPatienceMs = 10000;
const DWORD kRetryIntervalMs = 250;

bool Exists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Refusals that go away once another process closes the file.
bool IsBusy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

bool HasPatience(DWORD rowStart)
{
    return GetTickCount() - rowStart < kRowPatienceMs;
}

bool RenamePatiently(const char *from, const char *to, DWORD rowStart)
{
    for (;;) {
        if (rename(from, to) == 0) return true;
        if (!IsBusy(GetLastError()) || !HasPatience(rowStart)) return false;
        Sleep(kRetryIntervalMs);
    }
}

bool RemovePatiently(const char *path, DWORD rowStart)
{
    for (;;) {
        if (remove(path) == 0) return true;
        if (!IsBusy(GetLastError()) || !HasPatience(rowStart)) return false;
        Sleep(kRetryIntervalMs);
    }
}

}  // namespace

void ReplaceRow(const ReplacementRow &row)
{
    DWORD rowStart = GetTickCount();
    bool installed = Exists(row.installed);
    bool waiting = Exists(row.waiting);
    bool backup = Exists(row.backup);

    // A backup is what an interrupted run left: with the installed file in
    // place it is stale; without one it is the installation's file.
    if (backup && installed) {
        if (!RemovePatiently(row.backup, rowStart)) return;
        backup = false;
    }
    if (backup && !waiting) {
        RenamePatiently(row.backup, row.installed, rowStart);
        return;
    }
    if (!waiting) return;

    if (installed) {
        if (!RenamePatiently(row.installed, row.backup, rowStart)) return;
        backup = true;
    }
    if (!RenamePatiently(row.waiting, row.installed, rowStart)) {
        // Putting the old file back gets a patience of its own: the row's may
        // be spent, and an empty installed name is the one outcome to avoid.
        if (backup) RenamePatiently(row.backup, row.installed, GetTickCount());
        return;
    }
    // The new file stands; the old one may still be held, in which case the
    // next run removes it.
    if (backup) RemovePatiently(row.backup, rowStart);
}
