// The macOS half of engine/FileSystemPlatform.h. Built on macOS alone.

#include "engine/FileSystemPlatform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// Plain fsync stops at the drive, which may hold the data in its cache
// through a power cut; F_FULLFSYNC has the drive write that cache out. Only
// where the file system cannot ask that of its device (a network volume, a
// file system without the call) does plain fsync stand in, as the kernel's
// own fallback does; any other failure, such as EIO from the flush, is the
// sync's failure.
int SyncThroughCache(int fd, bool /*dataOnly*/) {
    while (::fcntl(fd, F_FULLFSYNC) != 0) {
        if (errno == ENOTTY || errno == ENOTSUP || errno == EINVAL) {
            return SyncToDrive(fd);
        }
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

int SyncToDrive(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// F_FULLFSYNC flushes the whole cache of the drive under the volume, not
// only what one file left there: after each entry has been handed to the
// drive by its own fsync, one such flush makes all of them durable, where
// one per entry would pay a whole cache flush each.
int FlushDriveCache(int fd) {
    return SyncThroughCache(fd, false);
}

int SyncVolume(int /*fd*/) {
    return ENOSYS;
}

bool HiddenByFlag(const QByteArray &folder, const char *name) {
    struct stat st {};
    return ::lstat((folder + '/' + name).constData(), &st) == 0 && (st.st_flags & UF_HIDDEN) != 0;
}

void PopulateForWriting(void * /*data*/, qsizetype /*size*/) {}

void StartWriteBack(int /*fd*/, qint64 /*offset*/, qint64 /*size*/) {}

} // namespace platform
