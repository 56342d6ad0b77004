// Replacing installed files by the new versions that wait beside them.
#ifndef HARROWFEN_REPLACE_H
#define HARROWFEN_REPLACE_H

struct ReplacementRow {
    const char *installed;  // the file the installation uses
    const char *waiting;    // its new version, waiting to take its place
    const char *backup;     // where the installed file stands while it is replaced
};

// The installation's files, in the order they are replaced: the main
// application's executable last.
extern const ReplacementRow kReplacementTable[5];

// Puts the waiting file of `row` in the place of the installed one. Never
// leaves the installed name empty if it held a file at the start: the
// installed file is moved aside first and put back if the waiting file can't
// be moved in. Also finishes or undoes a row that an earlier run left half
// done. Files that are busy are retried for a while; nothing is reported.
void ReplaceRow(const ReplacementRow &row);

#endif
