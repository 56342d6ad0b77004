// Replacing the rows as one update: of the rows whose new version waits,
// every one goes in or none does, at every instant and after a stop at any
// instant (a kill, a power cut), as far as the next run goes.
//
// Each row keeps its installed file under a backup name as a second name of
// the same file (CreateHardLinkA: no byte is copied, and the installed name is
// untouched), then takes its new file in one step (MoveFileExA with
// MOVEFILE_REPLACE_EXISTING: one rename over the old file on Windows,
// rename(2) under Wine and in the layer), so that the name holds the old file
// or the new one at every instant. Only where the installed file is in use in
// a way that refuses replacing but allows renaming (a running program or a
// loaded library on Windows) is it moved aside to another backup name first;
// that leaves the name empty between two renames, the one moment a stopped run
// can leave behind, and the next run puts right. Every step can be refused
// while the main application's process is still going away, so refusals for a
// busy file are retried until the row's patience runs out. In a program row
// whose installed file is a program image, only a whole image of its kind goes
// in its place (image.cpp), and in the Windows builds, where the installed
// image carries a valid signature, only one signed by the same publisher
// (signature.cpp). The data row's file is never read.
//
// Where the update stands is told by the names alone (their roles: replace.h):
// - Before the first installed name changes, the update is marked: a second
//   name of its first row's new file under that row's mark name.
// - Each row then keeps its old file (or, where it held none, its new one)
//   under a backup name, and only then takes the new file.
// - Once every row is in, the mark is removed: from then on the update has
//   gone in. The backups are removed after it.
// - Taking an update back puts each row's old file back and its new file back
//   under the waiting name, and removes the mark last.
// So a run that finds a mark finds an update that had not gone in: a row with
// a backup was taken into it, a row with a waiting file still waits, and every
// backup there is the update's own, since an update begins only once each one
// an earlier update left is removed. The run finishes the update if every
// waiting file is fit and goes in, and takes every row back otherwise. A run
// that finds no mark knows any backup to be left over, from an update that
// went in (a running program's file that could not be removed) or from an
// earlier updater, and removes it. A waiting file that appears between two
// runs takes part in the next run's update like any other: whole, or not at
// all.
//
// Natively, rename and remove reach the layer's Windows-like wrappers in
// posix/src/msvcrt.cpp through the linker's --wrap (winposix_runtime, which
// Harrowfen and its tests link), so Windows' rules hold: rename never
// replaces, and a file open for writing is in use. MoveFileExA and
// CreateHardLinkA are the layer's own, in posix/src/kernel32.cpp; on Windows
// all four are the system's. The layer's MoveFileExA also gives the replaced
// name its permission bits (a name that held nothing those of a new file),
// which is why every move of a waiting file onto the installed name is that
// call, but one (below).
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

// Tries `step` (a call that sets the last error when it fails) until it
// succeeds, is refused in a way waiting can't end, or the row's patience runs
// out; the last error then says why.
template <typename Step> bool Patiently(Step step, DWORD rowStart, const ReplacePatience &patience)
{
    for (;;) {
        if (step()) return true;
        if (!IsBusy(GetLastError()) || !HasPatience(rowStart, patience)) return false;
        Sleep(patience.retryMs);
    }
}

bool RenamePatiently(const char *from, const char *to, DWORD rowStart, const ReplacePatience &patience)
{
    return Patiently([&] { return rename(from, to) == 0; }, rowStart, patience);
}

bool RemovePatiently(const char *path, DWORD rowStart, const ReplacePatience &patience)
{
    return Patiently([&] { return remove(path) == 0; }, rowStart, patience);
}

bool LinkPatiently(const char *name, const char *existing, DWORD rowStart, const ReplacePatience &patience)
{
    return Patiently([&] { return CreateHardLinkA(name, existing, NULL) != FALSE; }, rowStart, patience);
}

bool MovePatiently(const char *from, const char *to, DWORD rowStart, const ReplacePatience &patience)
{
    return Patiently([&] { return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != FALSE; }, rowStart, patience);
}

// Removed, or already gone.
bool RemovedPatiently(const char *path, DWORD rowStart, const ReplacePatience &patience)
{
    if (RemovePatiently(path, rowStart, patience)) return true;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// One line on the debugger output for a row the update could not take.
void Say(const char *name, const char *what, DWORD error = 0)
{
    char line[MAX_PATH + 80];
    if (error)
        snprintf(line, sizeof line, "Update Error: %s: %s, %lx", name, what, (unsigned long)error);
    else
        snprintf(line, sizeof line, "Update Error: %s: %s", name, what);
    OutputDebugStringA(line);
}

const size_t kNameSize = MAX_PATH;

// One row as this run sees it, kept up to date as the run changes its names.
struct Row {
    const ReplacementRow *names;
    DWORD installed, waiting;
    bool update;      // a plain file waits under the waiting name itself
    bool mayHoldNew;  // the installed name may hold the new file: moved in by this run, or by a stopped one
    char backups[kBackupNames][kNameSize];
    DWORD backupAttributes[kBackupNames];
    bool ours[kBackupNames];  // a file or link the updater made there, to be removed or moved back
    int backupNames;          // names that fit
};

bool Ours(const Row &row, int name)
{
    return name < row.backupNames && row.ours[name];
}

// Whether backup name `name` fits and nothing stands under it.
bool Free(const Row &row, int name)
{
    return name < row.backupNames && !IsEntry(row.backupAttributes[name]);
}

void Made(Row *row, int name)
{
    row->backupAttributes[name] = FILE_ATTRIBUTE_NORMAL;
    row->ours[name] = true;
}

void Gone(Row *row, int name)
{
    row->backupAttributes[name] = kNoEntry;
    row->ours[name] = false;
}

// The old file the row keeps: the last one under the old-file names is the
// newest (the installed file moved aside after its second name was made).
int NewestOld(const Row &row)
{
    for (int i = kOldFileNames - 1; i >= 0; i--)
        if (Ours(row, i)) return i;
    return -1;
}

// A free old-file name above every file the row keeps there, names taken by
// anything else passed over. -1 if none.
int FreeOld(const Row &row)
{
    for (int i = NewestOld(row) + 1; i < kOldFileNames; i++)
        if (Free(row, i)) return i;
    return -1;
}

// Whether the update under way has taken the row in.
bool Kept(const Row &row)
{
    return NewestOld(row) >= 0 || Ours(row, kNothingBeforeName);
}

// What the waiting file is checked against: the installed file, where it
// stands aside the newest one kept.
const char *Reference(const Row &row)
{
    if (IsEntry(row.installed)) return ReferenceAt(row.names->installed, row.installed);
    int old = NewestOld(row);
    return old < 0 ? NULL : ReferenceAt(row.backups[old], row.backupAttributes[old]);
}

bool LookAt(const ReplacementRow &names, Row *row)
{
    row->names = &names;
    if (!Look(names.installed, &row->installed) || !Look(names.waiting, &row->waiting)) return false;
    row->update = IsPlainFile(row->waiting) && !LeadsElsewhere(names.waiting);
    row->backupNames = 0;
    while (row->backupNames < kBackupNames &&
           BackupName(names, row->backupNames, row->backups[row->backupNames], kNameSize)) {
        int i = row->backupNames;
        if (!Look(row->backups[i], &row->backupAttributes[i])) return false;
        // Folders are never ours; nor, under Wine, is a link to a file
        // elsewhere, which removing or moving would take with it.
        row->ours[i] = IsEntry(row->backupAttributes[i]) && !IsFolder(row->backupAttributes[i]) &&
                       !LeadsElsewhere(row->backups[i]);
        row->backupNames++;
    }
    row->mayHoldNew = Kept(*row);
    return true;
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
    Verdict verdict = CheckImage(reference, row.waiting);
    if (verdict.kind == kImageFits) verdict = CheckPublisher(reference, row.waiting);
    if (verdict.kind == kImageFits) return kFits;
    char line[MAX_PATH + 80];
    if (verdict.kind == kImageUnreadable) {
        if (IsBusy(verdict.error)) return kBusy;
        snprintf(line, sizeof line, "Image Error: %s: unreadable, %lx", verdict.about, (unsigned long)verdict.error);
    } else {
        // A refusal about the installed file (a signature it can't check) holds every update back.
        bool installed = verdict.about != row.waiting;
        snprintf(line, sizeof line, "Image Error: %s: %s%s", verdict.about, verdict.why,
                 installed ? ", so no update replaces it" : "");
    }
    OutputDebugStringA(line);
    return kDoesNotFit;
}

// Whether the waiting file of `row` may go in: a plain file, not in a
// folder's place, and fit (CheckFit). A refusal is said on the debugger
// output; a file that stays in use past the row's patience is refused too.
bool Judge(const Row &row, const ReplacePatience &patience)
{
    const char *waiting = row.names->waiting;
    if (!row.update) {
        Say(waiting, IsFolder(row.waiting)                     ? "a folder, not a file"
                     : (row.waiting & FILE_ATTRIBUTE_DEVICE) ? "a device, not a file"
                                                               : "a link, not a file");
        return false;
    }
    if (IsFolder(row.installed)) {
        Say(row.names->installed, "a folder in the installed file's place");
        return false;
    }
    DWORD rowStart = GetTickCount();
    for (;;) {
        Fit fit = CheckFit(*row.names, Reference(row));
        if (fit != kBusy) return fit == kFits;
        if (!HasPatience(rowStart, patience)) {
            Say(waiting, "still in use");
            return false;
        }
        Sleep(patience.retryMs);
    }
}

// A run stopped while an installed file stood aside left its name empty: the
// file goes back first (the newest old file kept), so that the name holds a
// file again at once. One that can't go back stays kept for the update.
void PutBackAside(Row *row, const ReplacePatience &patience)
{
    int old = NewestOld(*row);
    if (IsEntry(row->installed) || old < 0) return;
    if (!RenamePatiently(row->backups[old], row->names->installed, GetTickCount(), patience)) return;
    row->installed = row->backupAttributes[old];
    Gone(row, old);
}

// With no update under way, whatever stands under a backup name is left over.
// An update begins only once every one is gone, or a run stopped in it would
// take a leftover for the update's own; `waits`: an update waits on them, and
// each gets the row's patience and a line if it stays.
bool RemoveLeftovers(Row *row, bool waits, const ReplacePatience &patience)
{
    bool clear = true;
    for (int i = 0; i < row->backupNames; i++) {
        if (!row->ours[i]) continue;
        // The installed file itself, which could not be put back.
        if (!IsEntry(row->installed) && i < kOldFileNames) {
            clear = false;
            continue;
        }
        if (RemovedPatiently(row->backups[i], GetTickCount(), waits ? patience : ReplacePatience{0, 0})) {
            Gone(row, i);
            continue;
        }
        if (waits) Say(row->backups[i], "left by an earlier update, still in use", GetLastError());
        clear = false;
    }
    return clear;
}

// Marks the update as under way, before the first installed name changes: a
// second name of the new file of the first row whose mark name is free.
bool Mark(Row *rows, int count, const ReplacePatience &patience)
{
    for (int i = 0; i < count; i++) {
        Row *row = &rows[i];
        if (!IsEntry(row->waiting) || !Free(*row, kUpdateMarkName)) continue;
        if (!LinkPatiently(row->backups[kUpdateMarkName], row->names->waiting, GetTickCount(), patience)) {
            Say(row->names->installed, "no backup can be kept", GetLastError());
            return false;
        }
        Made(row, kUpdateMarkName);
        return true;
    }
    Say(rows[0].names->installed, "no name free to mark the update");
    return false;
}

// Keeps what the installed name holds under a free old-file name, as a second
// name of it; a row that holds no installed file keeps its new file under
// the name that says so. Nothing to do for a row the update already keeps.
bool Keep(Row *row, DWORD rowStart, const ReplacePatience &patience)
{
    if (Kept(*row)) return true;
    bool nothing = !IsEntry(row->installed);
    int name = nothing ? (Free(*row, kNothingBeforeName) ? kNothingBeforeName : -1) : FreeOld(*row);
    if (name < 0) {
        Say(row->names->installed, "no backup name free");
        return false;
    }
    const char *existing = nothing ? row->names->waiting : row->names->installed;
    if (!LinkPatiently(row->backups[name], existing, rowStart, patience)) {
        Say(row->names->installed, "no backup can be kept", GetLastError());
        return false;
    }
    Made(row, name);
    return true;
}

enum AsideResult { kReplacedThroughBackup, kTryAgain, kWaitingRefused, kGiveUp };

// The fallback for an installed file in use: moves it aside, moves the
// waiting file in, and puts the old one back if that is refused (*error
// then says why it did not go in). The waiting
// file goes in by rename, which never replaces: the installed name is empty
// then, and anything that appeared there since is not ours to overwrite.
// Natively it keeps its own permission bits this way, but no file in use
// leads here: Linux replaces a running program's file, so the layer refuses
// the replacing move with ERROR_ACCESS_DENIED only where renaming the
// installed file aside is refused too (permissions). Windows has no such bits.
AsideResult ReplaceThroughBackup(Row *row, const ReplacePatience &patience, DWORD *error)
{
    int aside = FreeOld(*row);
    if (aside < 0) {
        *error = ERROR_ALREADY_EXISTS;
        return kGiveUp;
    }
    if (rename(row->names->installed, row->backups[aside]) != 0) {
        *error = GetLastError();
        return IsBusy(*error) ? kTryAgain : kGiveUp;
    }
    Made(row, aside);
    row->installed = kNoEntry;
    // The installed name is empty until the next rename, or the one after it.
    if (rename(row->names->waiting, row->names->installed) == 0) {
        row->installed = FILE_ATTRIBUTE_NORMAL;
        row->waiting = kNoEntry;
        row->mayHoldNew = true;
        return kReplacedThroughBackup;
    }
    *error = GetLastError();
    // Putting the old file back gets a patience of its own: the row's may be
    // spent, and an empty installed name is the one outcome to avoid.
    if (RenamePatiently(row->backups[aside], row->names->installed, GetTickCount(), patience)) {
        Gone(row, aside);
        row->installed = FILE_ATTRIBUTE_NORMAL;
    }
    return IsBusy(*error) ? kWaitingRefused : kGiveUp;
}

// Takes the row into the update: keeps its installed file (Keep), then puts
// the waiting file in its place. The waiting file was judged before anything
// changed; after a wait it is checked again right before the next try, so
// that what was checked is what moves. What remains is the moment between
// the check's last read and the move: a writer that opens the waiting file,
// changes it and closes it again within that moment goes unseen (one still
// holding it open refuses the move, see IsBusy), as does another file renamed
// onto the waiting name then. False, with one line, if the row can't be
// replaced within its patience.
bool Replace(Row *row, const ReplacePatience &patience)
{
    DWORD rowStart = GetTickCount();
    if (!Keep(row, rowStart, patience)) return false;
    const char *installed = row->names->installed;
    // Once the waiting file has been refused after the installed one was
    // moved aside, it is the one in use: moving aside again would only empty
    // the installed name again for nothing.
    bool waited = false, waitingRefused = false;
    DWORD error = 0;
    for (;;) {
        Fit fit = waited ? CheckFit(*row->names, Reference(*row)) : kFits;
        if (fit == kDoesNotFit) return false;
        if (fit == kFits) {
            if (MoveFileExA(row->names->waiting, installed, MOVEFILE_REPLACE_EXISTING)) {
                row->installed = FILE_ATTRIBUTE_NORMAL;
                row->mayHoldNew = true;
                // A move between two names of one file (a stopped run had put
                // the new file back under the waiting name as a second name)
                // leaves both: the waiting one goes.
                DWORD waiting;
                if (Look(row->names->waiting, &waiting) && IsEntry(waiting) && remove(row->names->waiting) != 0) {
                    Say(row->names->waiting, "not removed", GetLastError());
                    return false;
                }
                row->waiting = kNoEntry;
                return true;
            }
            error = GetLastError();
            if (MayMoveAside(error) && !waitingRefused && IsEntry(row->installed)) {
                AsideResult result = ReplaceThroughBackup(row, patience, &error);
                if (result == kReplacedThroughBackup) return true;
                if (result == kGiveUp) {
                    Say(installed, "not replaced", error);
                    return false;
                }
                waitingRefused = result == kWaitingRefused;
            } else if (!IsBusy(error)) {
                Say(installed, "not replaced", error);
                return false;
            }
        }
        if (!HasPatience(rowStart, patience)) {
            Say(installed, "still in use", error);
            return false;
        }
        Sleep(patience.retryMs);
        waited = true;
    }
}

// Takes the row back out of the update: the old file it keeps goes back under
// the installed name, and the new file back under the waiting name, unless a
// newer one waits there since; a row that held nothing holds nothing again.
// False if a step is refused past the row's patience.
bool PutBack(Row *row, const ReplacePatience &patience)
{
    DWORD rowStart = GetTickCount();
    const char *installed = row->names->installed, *waiting = row->names->waiting;
    if (Ours(*row, kNothingBeforeName)) {
        if (IsEntry(row->installed)) {
            bool done = IsEntry(row->waiting) ? RemovedPatiently(installed, rowStart, patience)
                                              : RenamePatiently(installed, waiting, rowStart, patience);
            if (!done) return false;
            if (!IsEntry(row->waiting)) row->waiting = FILE_ATTRIBUTE_NORMAL;
            row->installed = kNoEntry;
        }
        if (!RemovedPatiently(row->backups[kNothingBeforeName], rowStart, patience)) return false;
        Gone(row, kNothingBeforeName);
    }
    int old = NewestOld(*row);
    if (old < 0) return true;
    // A folder put in the installed file's place since is not ours to move:
    // what the row keeps has nowhere to go back to.
    if (IsFolder(row->installed)) old = -1;
    // Kept by this run and never replaced, the installed file is the old one
    // already; so is anything but a plain file, which no update puts there.
    bool holdsOld = IsEntry(row->installed) && (!row->mayHoldNew || !IsPlainFile(row->installed));
    if (old >= 0 && !holdsOld) {
        if (!IsEntry(row->installed)) {
            if (!RenamePatiently(row->backups[old], installed, rowStart, patience)) return false;
        } else {
            if (!IsEntry(row->waiting)) {
                if (!LinkPatiently(waiting, installed, rowStart, patience)) return false;
                row->waiting = FILE_ATTRIBUTE_NORMAL;
            }
            if (!MovePatiently(row->backups[old], installed, rowStart, patience)) return false;
        }
        row->installed = row->backupAttributes[old];
    }
    row->mayHoldNew = false;
    // Every name the row still keeps is its old file too (a second name, or
    // the one it was moved back from, which a move between two names of one
    // file leaves standing): one try each, a leftover for a later run.
    for (int i = 0; i < kOldFileNames; i++)
        if (Ours(*row, i) && RemovedPatiently(row->backups[i], 0, {0, 0})) Gone(row, i);
    return true;
}

// Takes every row back, and the mark last: while a row stays in, the mark
// stays, for the next run. So does a mark that can't be removed at once (a
// second name of a waiting file still being written): with every row back,
// the next run finishes the update or takes it back just the same.
void Undo(Row *rows, int count, const ReplacePatience &patience)
{
    bool whole = true;
    for (int i = count - 1; i >= 0; i--) whole = PutBack(&rows[i], patience) && whole;
    if (!whole) return;
    for (int i = 0; i < count; i++)
        if (Ours(rows[i], kUpdateMarkName) && RemovedPatiently(rows[i].backups[kUpdateMarkName], 0, {0, 0}))
            Gone(&rows[i], kUpdateMarkName);
}

// Every row is in: the update has gone in once the mark is removed. The
// backups go after it, one try each: one still in use (a program still
// running from the file moved aside) is left for a later run. False if the
// mark stays.
bool Commit(Row *rows, int count, const ReplacePatience &patience)
{
    for (int i = 0; i < count; i++) {
        if (!Ours(rows[i], kUpdateMarkName)) continue;
        if (!RemovedPatiently(rows[i].backups[kUpdateMarkName], GetTickCount(), patience)) {
            Say(rows[i].backups[kUpdateMarkName], "not removed", GetLastError());
            return false;
        }
        Gone(&rows[i], kUpdateMarkName);
    }
    for (int i = 0; i < count; i++)
        for (int name = 0; name < kUpdateMarkName; name++)
            if (Ours(rows[i], name) && RemovedPatiently(rows[i].backups[name], 0, {0, 0})) Gone(&rows[i], name);
    return true;
}

}  // namespace

bool BackupName(const ReplacementRow &row, int index, char *name, size_t size)
{
    if (index < 0 || index >= kBackupNames) return false;
    int length = index == 0 ? snprintf(name, size, "%s", row.backup) : snprintf(name, size, "%s%d", row.backup, index);
    return length > 0 && (size_t)length < size;
}

void ReplaceRows(const ReplacementRow *table, int count, const ReplacePatience &patience)
{
    if (!table || count <= 0 || count > kMaxReplacementRows) return;
    Row rows[kMaxReplacementRows];
    // A name that can't be looked at might hold a backup: nothing is done on
    // a guess, and a run that can see goes on.
    for (int i = 0; i < count; i++)
        if (!LookAt(table[i], &rows[i])) return;
    bool marked = false, waits = false;
    for (int i = 0; i < count; i++) {
        PutBackAside(&rows[i], patience);
        marked = marked || Ours(rows[i], kUpdateMarkName);
        waits = waits || IsEntry(rows[i].waiting);
    }
    if (!marked) {
        bool clear = true;
        for (int i = 0; i < count; i++) clear = RemoveLeftovers(&rows[i], waits, patience) && clear;
        if (!waits || !clear) return;
    }
    // Every waiting file is judged, and each refusal said, before anything changes.
    bool whole = true;
    for (int i = 0; i < count; i++)
        if (IsEntry(rows[i].waiting)) whole = Judge(rows[i], patience) && whole;
    if (!marked && (!whole || !Mark(rows, count, patience))) return;
    for (int i = 0; i < count && whole; i++)
        if (IsEntry(rows[i].waiting)) whole = Replace(&rows[i], patience);
    if (!whole || !Commit(rows, count, patience)) Undo(rows, count, patience);
}
