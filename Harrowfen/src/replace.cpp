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

const ReplacePatience kRowPatience = {10000, 250};

namespace {

const DWORD kNoEntry = INVALID_FILE_ATTRIBUTES;

// The attributes of what stands under `path`, kNoEntry for nothing; false if
// it can't be seen (a failure other than "not there"): the row then waits for
// a run that can see, rather than act on a guess.
bool Look(const char *path, DWORD *attributes)
{
    *attributes = GetFileAttributesA(path);
    if (*attributes != kNoEntry) return true;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool IsEntry(DWORD attributes)
{
    return attributes != kNoEntry;
}

bool IsFolder(DWORD attributes)
{
    return IsEntry(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Only a plain file is a new version: a folder, a link or a device moved onto
// the installed name would put something in its place that is not the file.
bool IsPlainFile(DWORD attributes)
{
    return IsEntry(attributes) &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

// Refusals that go away once another process lets the file go. Windows also
// answers ERROR_ACCESS_DENIED for a file whose deletion is pending or whose
// image a process that is ending still maps, which is the moment the updater
// works in. Elsewhere that code means the permissions refuse, and a
// read-only file system (ERROR_WRITE_PROTECT) refuses everywhere: waiting
// changes neither.
bool IsBusy(DWORD error)
{
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) return true;
#ifdef _WIN32
    return error == ERROR_ACCESS_DENIED;
#else
    return false;
#endif
}

bool HasPatience(DWORD rowStart, const ReplacePatience &patience)
{
    return GetTickCount() - rowStart < patience.rowMs;
}

bool RenamePatiently(const char *from, const char *to, DWORD rowStart, const ReplacePatience &patience)
{
    for (;;) {
        if (rename(from, to) == 0) return true;
        if (!IsBusy(GetLastError()) || !HasPatience(rowStart, patience)) return false;
        Sleep(patience.retryMs);
    }
}

bool RemovePatiently(const char *path, DWORD rowStart, const ReplacePatience &patience)
{
    for (;;) {
        if (remove(path) == 0) return true;
        if (!IsBusy(GetLastError()) || !HasPatience(rowStart, patience)) return false;
        Sleep(patience.retryMs);
    }
}

const size_t kNameSize = MAX_PATH;

struct Backups {
    char names[kBackupNames][kNameSize];
    DWORD attributes[kBackupNames];
    int count;  // names that fit
};

bool LookAtBackups(const ReplacementRow &row, Backups *backups)
{
    backups->count = 0;
    while (backups->count < kBackupNames &&
           BackupName(row, backups->count, backups->names[backups->count], kNameSize)) {
        if (!Look(backups->names[backups->count], &backups->attributes[backups->count])) return false;
        backups->count++;
    }
    return true;
}

// With a file under the installed name, whatever stands under a backup name
// is left over: one try each, as nothing waits on them. Folders are never
// ours to remove.
void RemoveStaleBackups(Backups *backups)
{
    for (int i = 0; i < backups->count; i++) {
        if (!IsEntry(backups->attributes[i]) || IsFolder(backups->attributes[i])) continue;
        if (remove(backups->names[i]) == 0) backups->attributes[i] = kNoEntry;
    }
}

// Where an interrupted run left the installed file: the last file or link
// under a backup name is the newest.
int NewestBackup(const Backups &backups)
{
    for (int i = backups.count - 1; i >= 0; i--)
        if (IsEntry(backups.attributes[i]) && !IsFolder(backups.attributes[i])) return i;
    return -1;
}

// A free name above every file or link under a backup name, so that the
// newest backup stays the last one; folders are passed over. -1 if none.
int NextFreeBackup(const Backups &backups)
{
    for (int i = NewestBackup(backups) + 1; i < backups.count; i++)
        if (!IsEntry(backups.attributes[i])) return i;
    return -1;
}

}  // namespace

bool BackupName(const ReplacementRow &row, int index, char *name, size_t size)
{
    if (index < 0 || index >= kBackupNames) return false;
    int length = index == 0 ? snprintf(name, size, "%s", row.backup) : snprintf(name, size, "%s%d", row.backup, index);
    return length > 0 && (size_t)length < size;
}

void ReplaceRow(const ReplacementRow &row, const ReplacePatience &patience)
{
    DWORD rowStart = GetTickCount();
    DWORD installed, waiting;
    Backups backups;
    if (!Look(row.installed, &installed) || IsFolder(installed)) return;
    if (!Look(row.waiting, &waiting) || !LookAtBackups(row, &backups)) return;
    bool update = IsPlainFile(waiting);

    // `aside`: the backup that holds the installation's file. With nothing
    // under the installed name, an interrupted run left it there.
    int aside = -1;
    bool recovering = !IsEntry(installed);
    if (recovering) {
        aside = NewestBackup(backups);
    } else {
        RemoveStaleBackups(&backups);
    }

    if (!update) {
        if (aside >= 0 && RenamePatiently(backups.names[aside], row.installed, rowStart, patience)) {
            backups.attributes[aside] = kNoEntry;
            RemoveStaleBackups(&backups);
        }
        return;
    }

    if (!recovering) {
        aside = NextFreeBackup(backups);
        if (aside < 0) return;
        if (!RenamePatiently(row.installed, backups.names[aside], rowStart, patience)) return;
    }
    if (!RenamePatiently(row.waiting, row.installed, rowStart, patience)) {
        // Putting the old file back gets a patience of its own: the row's may
        // be spent, and an empty installed name is the one outcome to avoid.
        if (aside >= 0) RenamePatiently(backups.names[aside], row.installed, GetTickCount(), patience);
        return;
    }
    // The new file stands; the old one may still be held, in which case the
    // next run removes it.
    if (aside >= 0 && RemovePatiently(backups.names[aside], rowStart, patience)) backups.attributes[aside] = kNoEntry;
    if (recovering) RemoveStaleBackups(&backups);
}
