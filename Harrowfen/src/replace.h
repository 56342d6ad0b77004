// Replacing installed files by the new versions that wait beside them.
#ifndef HARROWFEN_REPLACE_H
#define HARROWFEN_REPLACE_H

#include <windows.h>

#include <stddef.h>

struct ReplacementRow {
    const char *installed;  // the file the installation uses
    const char *waiting;    // its new version, waiting to take its place
    const char *backup;     // where an installed file in use stands while it is replaced
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

// A backup name that can't be freed (a folder, a file still held) is passed
// over for the next one: the row's backup, then the backup followed by 1, 2 ...
// They are the installed name with ".harrowfen-old", "-old1" ... "-old4":
// names nobody else uses, so that the updater removes and moves back only
// files it made.
const int kBackupNames = 5;
// Backup name `index` (0 to kBackupNames - 1) of `row`; false if it doesn't fit.
bool BackupName(const ReplacementRow &row, int index, char *name, size_t size);

// Puts the waiting file of `row` in the place of the installed one, in one
// step that leaves the installed name holding the old file or the new one at
// every instant. Only where Windows refuses to replace an installed file that
// is in use (a running program, a loaded library) is the installed file moved
// aside first and put back if the waiting file can't be moved in; the name is
// then empty for the time between two renames. Also finishes or undoes a row
// that an earlier run left half done. Only a plain file is an update; a
// folder in the installed file's place is left alone. In a program row whose
// installed file is a program image, only a whole image of its kind replaces it,
// and (Windows builds) where that image is signed, only one signed by the same
// publisher; another waiting file is left where it is, with one debugger line. Files
// that are busy are retried for a while; refusals that waiting can't end are
// not; nothing else is reported.
void ReplaceRow(const ReplacementRow &row, const ReplacePatience &patience = kRowPatience);

#endif
