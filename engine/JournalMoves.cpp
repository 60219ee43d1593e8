// What the disk says of a journalled move (engine/Journal.h): whether it
// took place, and what finishing one that a killed run left takes.

#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QFile>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Both names are one file: a move by link and unlink cut between the two.
bool OneFile(const QByteArray &a, const QByteArray &b) {
    struct stat first {};
    struct stat second {};
    return ::lstat(a.constData(), &first) == 0 && ::lstat(b.constData(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

} // namespace

bool MoveCompleted(const JournalMove &move) {
    const QByteArray from = NameBytes(move.from);
    const QByteArray to = NameBytes(move.to);
    if (!EntryExists(to)) {
        return false;
    }
    if (move.placed || !move.temporary.isEmpty()) {
        // A copy is renamed into place only once it is whole and on the
        // disk; the placed line follows once every copy of the group is. A
        // copy still under its temporary name never reached its place, and
        // one taken away again (the placed line's sync failed) left its
        // place to whatever stands there now.
        if (!move.placed && EntryExists(NameBytes(move.temporary))) {
            return false;
        }
        return !EntryExists(from) || IsCopyOf(to, from);
    }
    // A done line is not proof by itself: a file system may keep the line
    // through a power cut and lose the rename it reports.
    return move.done || !EntryExists(from) || OneFile(from, to);
}

FinishedMove FinishInterruptedMove(const JournalMove &move) {
    FinishedMove finished;
    if (move.back) {
        return finished;
    }
    finished.completed = MoveCompleted(move);
    const QByteArray from = NameBytes(move.from);
    const QByteArray to = NameBytes(move.to);
    const QByteArray temporary = NameBytes(move.temporary);
    // Only ever a name this program made, beside the destination.
    const bool ownTemporary =
        !move.temporary.isEmpty() &&
        LastPathComponent(move.temporary).startsWith(QLatin1String(TemporaryPrefix)) &&
        DeletingLastPathComponent(move.temporary) == DeletingLastPathComponent(move.to);
    if (!finished.completed && (ownTemporary || (move.temporary.isEmpty() && !move.restoring))) {
        // What was being renamed onto the claim: the copy, or the item.
        RemoveLeftClaim(to, ownTemporary ? temporary : from);
    }
    if (ownTemporary) {
        RemoveTree(temporary);
    }
    if (!finished.completed || !EntryExists(from)) {
        return finished;
    }
    if (move.placed || !move.temporary.isEmpty()) {
        if (!RemoveMovedSource(from, to)) {
            finished.leftOver = move.from;
        }
    } else if (OneFile(from, to)) {
        ::unlink(from.constData()); // the move's own second step
    }
    return finished;
}
