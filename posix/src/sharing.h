// Windows' sharing rules, as far as the layer keeps them: a file the runtime
// opened for writing is in use, and can't be renamed, replaced or removed
// until it is closed; and a move that is not asked to replace never does.
#ifndef WINPOSIX_SHARING_H
#define WINPOSIX_SHARING_H

// Marks the regular file open on `descriptor` as in use for as long as this
// open file stays open (in this process or any that inherited it).
void MarkFileInUse(int descriptor);

// Whether a file that some process opened through the layer for writing is
// still open under `path`. A link, a file that is not regular, and a file this
// process may not read are never found in use.
bool FileInUse(const char *path);

// rename(2) that never replaces what `to` names, as Windows' moves without
// MOVEFILE_REPLACE_EXISTING (and its runtime's rename) refuse to: 0, or -1
// with errno (EEXIST for a name that is taken).
int RenameNoReplace(const char *from, const char *to);

#endif
