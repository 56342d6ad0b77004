// Replacing one row: the waiting file is moved onto the installed name in one
// step (MoveFileExA with MOVEFILE_REPLACE_EXISTING: one rename over the old
// file on Windows, rename(2) under Wine and in the layer), so that the name
// holds the old file or the new one at every instant. Only where the installed file is in use in a way
// that refuses replacing but allows renaming (a running program or a loaded
// library on Windows) is it moved aside to a backup name first; that leaves the
// name empty between two renames, the one moment a run stopped from outside
// can leave behind, and the next run puts right. Every step can be refused
// while the main application's process is still going away, so refusals for a
// busy file are retried until the row's patience runs out. In a program row
// whose installed file is a program image, only a whole image of its kind goes
// in its place (image.cpp), and in the Windows builds, where the installed
// image carries a valid signature, only one signed by the same publisher
// (signature.cpp); any other waiting file is left where it is, with one line
// on the debugger output. The data row's file is never read.
//
// Natively, rename and remove reach the layer's Windows-like wrappers in
// posix/src/msvcrt.cpp through the linker's --wrap (winposix_runtime, which
// Harrowfen and its tests link), so Windows' rules hold: rename never
// replaces, and a file open for writing is in use. MoveFileExA is the
// layer's own, in posix/src/kernel32.cpp; on Windows all three are the system's.
// The layer's MoveFileExA also gives the replaced name its permission bits
// (a name that held nothing those of a new file), which is why every move of
// a waiting file onto the installed name is that call, but one (below).
#include "replace.h"

#include "image.h"
#include "signature.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>

const ReplacementRow kReplacementTable[5] = {
    {"Larkspan.dll", "Larkspan.tmp", "Larkspan.dll.harrowfen-old", true},
    {"Glimmerock.dll", "Glimmerock.tmp", "Glimmerock.dll.harrowfen-old", true},
    {"Mapletide.dll", "Mapletide.tmp", "Mapletide.dll.harrowfen-old", true},
    {"wrenmarsh.dat", "wrenmarsh.tmp", "wrenmarsh.dat.harrowfen-old", false},
    {"Quillbrook.exe", "Quillbrook.tmp", "Quillbrook.exe.harrowfen-old", true},
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

// What the installed file is checked against (see CheckFit): the name
// itself where it holds a file, or a link, read through to what it leads to,
// for that is the image the installation runs. Null where nothing can be
// read: nothing there, a folder, or a device or FIFO (reading could wait on
// it), which the layer reports for a link leading to one too.
const char *ReferenceAt(const char *name, DWORD attributes)
{
    return IsEntry(attributes) && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) ? name : NULL;
}

// Whether `path` leads to a file under another name. Windows reports a link
// itself (a reparse point), but Wine reports a Unix symbolic link as the file
// it leads to, and moving the link there moves that file. The path the system
// resolves the name to tells the two apart: unless it is the resolved path of
// the folder followed by the name, the name is a link. A name that can't be
// opened to find out counts as leading elsewhere: the row waits for a run
// that can see.
bool LeadsElsewhere(const char *path)
{
#ifdef _WIN32
    char folder[MAX_PATH] = ".";
    const char *name = path;
    for (const char *each = path; *each; each++)
        if (*each == '\\' || *each == '/') name = each + 1;
    if (name != path) {
        size_t length = (size_t)(name - path - 1);
        if (length == 0 || length >= sizeof folder) return true;
        memcpy(folder, path, length);
        folder[length] = '\0';
    }
    char resolvedFolder[MAX_PATH * 2], resolved[MAX_PATH * 2];
    for (int i = 0; i < 2; i++) {
        // No access asked for: only where the name leads, so no sharing rule stands in the way.
        HANDLE handle = CreateFileA(i == 0 ? folder : path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (handle == INVALID_HANDLE_VALUE) return true;
        char *into = i == 0 ? resolvedFolder : resolved;
        DWORD length = GetFinalPathNameByHandleA(handle, into, MAX_PATH * 2, FILE_NAME_NORMALIZED);
        CloseHandle(handle);
        if (length == 0 || length >= MAX_PATH * 2) return true;
    }
    char expected[MAX_PATH * 3];
    size_t end = strlen(resolvedFolder);
    const char *separator = end && resolvedFolder[end - 1] == '\\' ? "" : "\\";  // a drive's root has one
    int length = snprintf(expected, sizeof expected, "%s%s%s", resolvedFolder, separator, name);
    return length <= 0 || (size_t)length >= sizeof expected || lstrcmpiA(expected, resolved) != 0;
#else
    // The layer reports a link as a reparse point already.
    (void)path;
    return false;
#endif
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
    bool ours[kBackupNames];  // a file or link that may be removed or moved back
    int count;                // names that fit
};

bool LookAtBackups(const ReplacementRow &row, Backups *backups)
{
    backups->count = 0;
    while (backups->count < kBackupNames &&
           BackupName(row, backups->count, backups->names[backups->count], kNameSize)) {
        int i = backups->count;
        if (!Look(backups->names[i], &backups->attributes[i])) return false;
        // Folders are never ours; nor, under Wine, is a link to a file
        // elsewhere, which removing or moving would take with it.
        backups->ours[i] = IsEntry(backups->attributes[i]) && !IsFolder(backups->attributes[i]) &&
                           !LeadsElsewhere(backups->names[i]);
        backups->count++;
    }
    return true;
}

// The backup name `i` is free again.
void Forget(Backups *backups, int i)
{
    backups->attributes[i] = kNoEntry;
    backups->ours[i] = false;
}

// With a file under the installed name, whatever stands under a backup name
// is left over: one try each, as nothing waits on them. Folders (and links
// to files elsewhere under Wine) are never ours to remove.
void RemoveStaleBackups(Backups *backups)
{
    for (int i = 0; i < backups->count; i++) {
        if (!backups->ours[i]) continue;
        if (remove(backups->names[i]) == 0) Forget(backups, i);
    }
}

// Where an interrupted run left the installed file: the last file or link
// under a backup name is the newest.
int NewestBackup(const Backups &backups)
{
    for (int i = backups.count - 1; i >= 0; i--)
        if (backups.ours[i]) return i;
    return -1;
}

// A free name above every file or link under a backup name, so that the
// newest backup stays the last one; names taken by anything else are passed
// over. -1 if none.
int NextFreeBackup(const Backups &backups)
{
    for (int i = NewestBackup(backups) + 1; i < backups.count; i++)
        if (!IsEntry(backups.attributes[i])) return i;
    return -1;
}

// Replacing was refused because the installed file is in use in a way that
// still lets it be renamed: Windows refuses to replace the image of a running
// program or a loaded library (Wine: any file another handle has open) with
// ERROR_ACCESS_DENIED. A sharing violation is not such a case: then one of the
// two files is open without delete sharing, and moving the installed file
// aside would either be refused too or leave it aside for nothing.
bool MayMoveAside(DWORD error)
{
    return error == ERROR_ACCESS_DENIED;
}

// Whether the waiting file may take the place of `reference` (the installed
// file; null for none to compare with): a whole image of its kind, signed by
// its publisher where it is signed. A refusal, or a file that can't be read
// for a reason waiting won't end, is written to the debugger output.
enum Fit { kFits, kBusy, kDoesNotFit };

Fit CheckFit(const ReplacementRow &row, const char *reference)
{
    if (!row.program) return kFits;
    const char *about, *why;
    ImageVerdict verdict = CheckImage(reference, row.waiting, &about, &why);
    if (verdict == kImageFits) verdict = CheckPublisher(reference, row.waiting, &about, &why);
    if (verdict == kImageFits) return kFits;
    char line[MAX_PATH + 80];
    if (verdict == kImageUnreadable) {
        DWORD error = GetLastError();
        if (IsBusy(error)) return kBusy;
        snprintf(line, sizeof line, "Image Error: %s: unreadable, %lx", about, (unsigned long)error);
    } else {
        snprintf(line, sizeof line, "Image Error: %s: %s", about, why);
    }
    OutputDebugStringA(line);
    return kDoesNotFit;
}

enum AsideResult { kReplacedThroughBackup, kTryAgain, kWaitingRefused, kGiveUp };

// The fallback for an installed file in use: moves it aside, moves the
// waiting file in, and puts the old one back if that is refused. The waiting
// file goes in by rename, which never replaces: the installed name is empty
// then, and anything that appeared there since is not ours to overwrite.
// Natively it keeps its own permission bits this way, but no file in use
// leads here: Linux replaces a running program's file, so the layer refuses
// the replacing move with ERROR_ACCESS_DENIED only where renaming the
// installed file aside is refused too (permissions). Windows has no such bits.
AsideResult ReplaceThroughBackup(const ReplacementRow &row, Backups *backups, DWORD rowStart,
                                 const ReplacePatience &patience)
{
    int aside = NextFreeBackup(*backups);
    if (aside < 0) return kGiveUp;
    if (rename(row.installed, backups->names[aside]) != 0) return IsBusy(GetLastError()) ? kTryAgain : kGiveUp;
    backups->attributes[aside] = FILE_ATTRIBUTE_NORMAL;
    backups->ours[aside] = true;
    // The installed name is empty until the next rename, or the one after it.
    if (rename(row.waiting, row.installed) == 0) {
        // The old file may still be running, in which case the next run removes it.
        if (RemovePatiently(backups->names[aside], rowStart, patience)) Forget(backups, aside);
        return kReplacedThroughBackup;
    }
    DWORD error = GetLastError();
    // Putting the old file back gets a patience of its own: the row's may be
    // spent, and an empty installed name is the one outcome to avoid.
    if (RenamePatiently(backups->names[aside], row.installed, GetTickCount(), patience))
        Forget(backups, aside);
    return IsBusy(error) ? kWaitingRefused : kGiveUp;
}

// Puts the waiting file in the place of the installed one, if it fits in
// the place of `reference` (see CheckFit). The waiting file is checked right
// before each try of the move, so that what was checked is what moves.
// What remains is the moment between the check's last read and the move: a
// writer that opens the waiting file, changes it and closes it again within
// that moment goes unseen (one still holding it open refuses the move, see
// IsBusy), as does another file renamed onto the waiting name then.
void ReplaceInstalled(const ReplacementRow &row, const char *reference, Backups *backups, DWORD rowStart,
                      const ReplacePatience &patience)
{
    // Once the waiting file has been refused after the installed one was
    // moved aside, it is the one in use: moving aside again would only empty
    // the installed name again for nothing.
    bool waitingRefused = false;
    for (;;) {
        Fit fit = CheckFit(row, reference);
        if (fit == kDoesNotFit) return;
        if (fit == kFits) {
            if (MoveFileExA(row.waiting, row.installed, MOVEFILE_REPLACE_EXISTING)) return;
            DWORD error = GetLastError();
            if (MayMoveAside(error) && !waitingRefused) {
                switch (ReplaceThroughBackup(row, backups, rowStart, patience)) {
                case kReplacedThroughBackup: return;
                case kGiveUp: return;
                case kWaitingRefused: waitingRefused = true; break;
                case kTryAgain: break;
                }
            } else if (!IsBusy(error)) {
                return;
            }
        }
        if (!HasPatience(rowStart, patience)) return;
        Sleep(patience.retryMs);
    }
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
    bool update = IsPlainFile(waiting) && !LeadsElsewhere(row.waiting);

    if (!IsEntry(installed)) {
        // Nothing under the installed name: a run stopped while the installed
        // file stood aside (or a row installed for the first time). The
        // newest backup is the installed file. It goes back first, so that
        // the name holds a file again at once, and the new one then takes
        // its place as in any other row: checked against it, and natively
        // with its permission bits.
        int aside = NewestBackup(backups);
        if (aside < 0) {
            if (update) ReplaceInstalled(row, NULL, &backups, rowStart, patience);
            return;
        }
        if (!RenamePatiently(backups.names[aside], row.installed, rowStart, patience)) {
            // It can't go back: rather than leave the name empty, the new file
            // goes in if it fits the old one's place, and the old one is left
            // for the next run to remove.
            if (update)
                ReplaceInstalled(row, ReferenceAt(backups.names[aside], backups.attributes[aside]), &backups,
                                 rowStart, patience);
            return;
        }
        installed = backups.attributes[aside];
        Forget(&backups, aside);
    }
    RemoveStaleBackups(&backups);
    if (update) ReplaceInstalled(row, ReferenceAt(row.installed, installed), &backups, rowStart, patience);
}
