// Windows' sharing rules, as far as the layer keeps them: a file the runtime
// opened for writing is in use, and can't be renamed, replaced or removed
// until it is closed.
#ifndef WINPOSIX_SHARING_H
#define WINPOSIX_SHARING_H

// Marks the regular file open on `descriptor` as in use for as long as this
// open file stays open (in this process or any that inherited it).
void MarkFileInUse(int descriptor);

// Whether a file that some process opened through the layer for writing is
// still open under `path`. A link, a file that is not regular, and a file this
// process may not read are never found in use.
bool FileInUse(const char *path);

#endif
