#pragma once
// The copy of a tree to another volume: the walk over its entries, the map
// that keeps the hard links between them, and what the copy carries from
// entry to entry (its progress, the attributes the target refused). Each
// entry is copied by the system's half of the move, engine/MovePlatform.h.
// Used by engine/MoveItem.cpp.

#include "engine/Error.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <functional>
#include <map>
#include <sys/types.h>
#include <utility>
#include <vector>

// What one cross-volume copy carries from entry to entry.
struct CopyContext {
    // The first copy of each source inode that has more than one name, so
    // that its other names in the tree become links to that copy.
    std::map<std::pair<dev_t, ino_t>, QByteArray> firstCopies;
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
        const QString name = QFile::decodeName(attribute);
        if (!notKept.contains(name)) {
            notKept.append(name);
        }
    }
};

// The error for an entry that is neither a file, a folder nor a link: a
// pipe, a socket or a device.
Error UnsupportedKind();

// Copies the entry at from, with all a folder holds, to to, where nothing
// may be. False, with the error, when any entry could not be copied; what was
// made of the copy is left for the caller to remove.
bool CopyEntry(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error);

// The bytes of file data in a tree, for telling how far its copy is.
qint64 DataSize(const QByteArray &path);
