// The Linux half of engine/FileSystemPlatform.h. Built on Linux alone.

#include "engine/FileSystemPlatform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace platform {

int SyncThroughCache(int fd, bool dataOnly) {
    // The kernel's fsync ends with a flush of the drive's cache.
    while ((dataOnly ? ::fdatasync(fd) : ::fsync(fd)) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

int SyncToDrive(int fd) {
    return SyncThroughCache(fd, false);
}

// Each fsync has flushed the drive's cache already.
int FlushDriveCache(int /*fd*/) {
    return 0;
}

int SyncVolume(int fd) {
    // Reports a write-back error on the volume since fd was opened.
    return ::syncfs(fd) == 0 ? 0 : errno;
}

// Only macOS keeps the mark: nothing is asked here.
bool HiddenByFlag(const QByteArray & /*folder*/, const char * /*name*/) {
    return false;
}

void PopulateForWriting(void *data, qsizetype size) {
#ifdef MADV_POPULATE_WRITE
    static const auto PageSize = static_cast<quintptr>(::sysconf(_SC_PAGESIZE));
    // From the start of the block's first page.
    const auto offset = static_cast<qsizetype>(reinterpret_cast<quintptr>(data) & (PageSize - 1));
    // Older kernels refuse the advice (EINVAL); the pages then come one by one.
    ::madvise(static_cast<char *>(data) - offset, static_cast<size_t>(size + offset),
              MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

void StartWriteBack(int fd, qint64 offset, qint64 size) {
    (void)::sync_file_range(fd, offset, size, SYNC_FILE_RANGE_WRITE);
}

} // namespace platform
