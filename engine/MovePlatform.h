#pragma once
// What a move asks of the system, defined once for each system in a source
// file of its own that the build chooses: engine/MoveLinux.cpp, or
// engine/MoveMac.cpp on macOS. The copy of one entry keeps what a rename
// keeps (data with its holes, extended attributes and ACLs, owner where
// allowed, mode and times); engine/TreeCopy.cpp walks a tree with it, the
// context carrying the copy's progress and what the target refused from one
// entry to the next.

#include "engine/Error.h"
#include "engine/FileName.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <functional>
#include <sys/stat.h>
#include <vector>

// What one cross-volume copy carries from entry to entry.
struct CopyContext {
    std::vector<char> buffer; // for data the kernel will not copy by itself
    QStringList notKept;
    // Told of the bytes copied so far; false stops the copy.
    std::function<bool(qint64 copied, qint64 total)> progress;
    qint64 copiedBytes = 0;
    qint64 totalBytes = 0;

    bool stopped = false; // progress said stop

    // 0, or ECANCELED when the copy is to stop.
    int advance(qint64 bytes) {
        copiedBytes += bytes;
        stopped = stopped || (progress && !progress(copiedBytes, totalBytes));
        return stopped ? ECANCELED : 0;
    }

    // Notes an attribute the target refused, each name once.
    void refused(const char *attribute) {
        const QString name = NameText(attribute);
        if (!notKept.contains(name)) {
            notKept.append(name);
        }
    }
};

namespace platform {

// The system's own rename that never replaces: 0, or the errno that stopped
// it.
int RenameWithoutReplacing(const QByteArray &from, const QByteArray &to);
// Whether err, from that rename, says the file system cannot rename so, and
// the race-free fallback is to be used.
bool CannotRenameWithoutReplacing(int err);

// When the entry st describes last changed (its status, not only its data),
// to the nanosecond where the file system keeps that.
struct timespec ChangeTime(const struct stat &st);

// Whether one sync of the whole volume that holds folder can be trusted to
// make what was written there durable; where not, each entry is synced on
// its own.
bool SyncsWholeVolume(const QByteArray &folder);

// 0 when nothing set on the entry at path (st its lstat) keeps it from
// being removed; else EPERM: an immutable or append-only flag (chattr +i or
// +a; Finder's lock, chflags uchg), which unlink would meet.
int Unremovable(const QByteArray &path, const struct stat &st);

// Copies a file or a link, st being its lstat, to to, where nothing may be.
// False, with the error, when it could not be copied; what was made of the
// copy is left for the caller to remove. An attribute the target refuses
// does not fail the copy: it is noted in the context.
bool CopyFile(const QByteArray &from, const QByteArray &to, const struct stat &st,
              CopyContext &context, Error *error);
bool CopyLink(const QByteArray &from, const QByteArray &to, const struct stat &st,
              CopyContext &context, Error *error);
// A folder's copy starts as a folder its entries can be copied into; once
// they are, it is finished with the source's metadata, which adding them
// would have changed. False, with the error, when the finished copy could
// not be put in place or removed.
bool StartFolder(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error);
bool FinishFolder(const QByteArray &from, const QByteArray &to, const struct stat &st,
                  CopyContext &context, Error *error);

} // namespace platform
