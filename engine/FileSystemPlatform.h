#pragma once
// What engine/FileSystem.cpp asks of the system where systems differ: how far
// a sync reaches, whether one call covers a volume, Finder's hidden flag and
// hints to the memory and write-back code. Defined once for each system, in
// engine/FileSystemLinux.cpp or, on macOS, engine/FileSystemMac.cpp.

#include <QByteArray>
#include <QtGlobal>

namespace platform {

// Each returns 0 or the errno of the call that failed; an interrupted call is
// retried.
// What was written to fd, on the medium itself: past the drive's own cache.
// dataOnly allows leaving out what reading the data back does not need.
int SyncThroughCache(int fd, bool dataOnly);
// What was written to fd, handed to the drive, which may keep it in its
// cache until FlushDriveCache.
int SyncToDrive(int fd);
// Whatever the drive under the volume that holds the open folder fd keeps in
// its cache: written out, in one call, after entries were synced with
// SyncToDrive.
int FlushDriveCache(int fd);
// Everything written to the volume that holds the open folder fd, in one
// call; ENOSYS where the system has no such call.
int SyncVolume(int fd);

// Whether Finder's own mark (chflags hidden) is set on the entry name in
// folder.
bool HiddenByFlag(const QByteArray &folder, const char *name);

// Asks the system to map in the pages of [data, data + size) for writing at
// once; only a hint.
void PopulateForWriting(void *data, qsizetype size);
// Starts writing size bytes of fd from offset to the disk without waiting;
// only a hint.
void StartWriteBack(int fd, qint64 offset, qint64 size);

} // namespace platform
