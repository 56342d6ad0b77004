// The runtime's fopen on Windows opens a file without delete sharing: while a
// program writes it, nobody can rename, replace or remove it. Linux has no
// such rule, so the layer keeps it with an open-file-description lock: fopen
// takes a write lock over the whole file for a mode that writes, and the
// functions that move or remove a file ask whether one could be had. Such
// locks belong to the open file, not to the process: a second open of the same
// file meets them even in the same process, as a second handle does on
// Windows, and they go when the last descriptor of that open file is closed,
// a killed process's included. Advisory: a writer that doesn't come through
// the layer (another program) is not seen. Also here, for kernel32's move and
// the runtime's rename alike: a rename that never replaces.
#include "sharing.h"

#include "system_calls.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct flock WholeFile(short type)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;  // to the end, however far it grows
    return lock;
}

}  // namespace

void MarkFileInUse(int descriptor)
{
    struct stat info;
    if (sys.fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) return;
    // A second writer finds the lock taken: the file is in use all the same.
    struct flock lock = WholeFile(F_WRLCK);
    sys.fcntl(descriptor, F_OFD_SETLK, &lock);
}

bool FileInUse(const char *path)
{
    // Looked at before opening: opening a device or a FIFO can wait or act.
    struct stat info;
    if (!path || sys.lstat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    int descriptor = sys.open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return false;
    struct flock lock = WholeFile(F_WRLCK);
    bool inUse = sys.fcntl(descriptor, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
    close(descriptor);
    return inUse;
}

int RenameNoReplace(const char *from, const char *to)
{
    if (sys.renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without RENAME_NOREPLACE: link and unlink keep the rule,
    // for files. A folder can't be linked; it keeps the refusal.
    int refused = errno;
    struct stat source;
    if (sys.lstat(from, &source) == 0 && S_ISDIR(source.st_mode)) {
        errno = refused;
        return -1;
    }
    if (sys.link(from, to) != 0) return -1;
    sys.unlink(from);
    return 0;
}
