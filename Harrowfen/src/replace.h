// Replacing installed files by the new versions that wait beside them, as
// one update: every row whose new version waits goes in, or none does.
#ifndef HARROWFEN_REPLACE_H
#define HARROWFEN_REPLACE_H

#include <windows.h>

#include <stddef.h>

struct ReplacementRow {
    const char *installed;  // the file the installation uses
    const char *waiting;    // its new version, waiting to take its place
    const char *backup;     // the first of the names the updater keeps the old file under
    bool program;           // a program image (a library or the main program), not data
};

// The installation's files, in the order they are replaced: the main
// application's executable last.
extern const ReplacementRow kReplacementTable[5];

// How long a row waits for busy files to be let go, and how often it tries.
struct ReplacePatience {
    DWORD rowMs;
    DWORD retryMs;
};
extern const ReplacePatience kRowPatience;

// The names the updater keeps files under, beside each installed one: the
// row's backup, then the backup followed by 1, 2 ... that is, the installed
// name with ".harrowfen-old", "-old1" ... "-old4": names nobody else uses, so
// that the updater removes and moves back only files it made.
//   0 to 2: the installed file as it was, while an update is under way (a
//           second name, or the file itself moved aside while in use). A name
//           taken by something that is not the updater's (a folder) is passed
//           over for the next.
//   3:      a row that held no installed file: its new file, so that an update
//           taken back takes it out again.
//   4:      the update under way: a second name of the first row's new file,
//           from before the first installed name changes until every row is in.
const int kBackupNames = 5;
const int kOldFileNames = 3;
const int kNothingBeforeName = 3;
const int kUpdateMarkName = 4;
// Backup name `index` (0 to kBackupNames - 1) of `row`; false if it doesn't fit.
bool BackupName(const ReplacementRow &row, int index, char *name, size_t size);

// The most rows one update takes.
const int kMaxReplacementRows = 8;

// Replaces, in one update, every row of `rows` (in their order) whose waiting
// name holds something. First, a run that finds an update stopped half way
// (a kill, a power cut) finishes it, or takes it back where it can't be
// finished, before anything else; then every waiting file is judged before any
// installed name changes: a plain file (not a folder, a link or a device),
// and in a program row whose installed file is a program image a whole image
// of its kind, and (Windows builds) where that image is signed, one signed by
// the same publisher. If any is refused, nothing changes, every waiting file
// stays, and one debugger line per refused row says why. Each installed file
// is kept under a backup name (a second name: no byte is copied) before the
// waiting file is moved onto the installed name in one step, which leaves the
// name holding the old file or the new one at every instant; only where
// Windows refuses to replace an installed file that is in use (a running
// program, a loaded library) is it moved aside first, the name then empty
// between two renames. A row that can't be replaced in time (busy past its
// patience, a failed move) puts back the rows already replaced, with one
// debugger line. Once every row is in, the backups are removed; one still in
// use stays, and keeps the next update from beginning until it can be removed.
// Rows with nothing under the waiting name take no part. A folder in the
// installed file's place is never moved.
void ReplaceRows(const ReplacementRow *rows, int count, const ReplacePatience &patience = kRowPatience);

#endif
