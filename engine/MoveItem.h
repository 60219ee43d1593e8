#pragma once
// Moves a file or folder to a new path without ever replacing what is there.
// Within a volume it is one no-replace rename; across volumes it copies under
// a temporary name beside the destination, renames the finished copy into
// place and only then removes the source. On failure the source is untouched
// and no partial copy remains.
//
// A copy keeps what a rename keeps: hard links between entries of the moved
// tree, holes in sparse files, extended attributes (ACLs among them), owner
// where allowed, mode and times.
//
// This file is the policy; engine/MoveAcross.cpp makes a group of copies
// durable together. The walk over a tree is engine/TreeCopy.h; what a move
// asks of the system is engine/MovePlatform.h, with one source file for
// each system.

#include "engine/Error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

// The temporary copies are named with this prefix beside their destination.
inline constexpr char TemporaryPrefix[] = ".kestrue-moving-";

// Removes what is left of a moved source: each entry that the copy holds at
// the same relative path with the same type (a file also with the same size
// and, within the 2 s that some file systems keep, the same modification
// time). Entries the copy lacks stay. True when nothing of the source is left.
bool RemoveMovedSource(const QByteArray &source, const QByteArray &copy);

// Whether copy is the entry that was copied from source, as far as
// RemoveMovedSource looks: the same type and, for a file, size and time.
bool IsCopyOf(const QByteArray &copy, const QByteArray &source);

// Removes the claim that a move onto a volume without links or a no-replace
// rename left at to when it was killed before its rename, provided it is
// provably that claim: a file holding exactly the mark such a claim holds for
// this source, or an empty folder where a folder was to go (rmdir never
// removes anything that holds data).
void RemoveLeftClaim(const QByteArray &to, const QByteArray &source);

// What a successful move could not carry over.
struct MoveReport {
    // Extended attributes the target refused, each name once, in the order
    // met. The item moved without them.
    QStringList attributesNotKept;
};

// report, when given, is cleared first and filled on success.
bool MoveItem(const QString &from, const QString &to, Error *error, MoveReport *report = nullptr);
// The same with paths already in the file-name encoding.
bool MoveItem(const QByteArray &from, const QByteArray &to, Error *error,
              MoveReport *report = nullptr);

// The first try of every move of a run: one no-replace rename. 0 when it
// moved; EXDEV when the item is on another volume than its destination, to
// be moved with MoveAcrossVolumes; else the errno that stopped it.
int MoveByRename(const QByteArray &from, const QByteArray &to);

// One item's move to another volume, made together with others.
struct VolumeMove {
    QByteArray from;
    QByteArray to;
    QByteArray temporary; // the copy's name beside to while it is made
    bool moved = false;
    Error error; // why it did not move: ECANCELED when it was stopped
    QStringList attributesNotKept;
};

// What a group of moves across volumes tells its journal, each time before
// the step takes effect, so that a run cut short (a kill, a power cut) can
// be finished or undone later.
struct VolumeMoveSteps {
    // The copies' temporary names, to be recorded on the disk before any
    // copy is made. False: nothing is copied and every move fails with the
    // error.
    std::function<bool(const std::vector<const VolumeMove *> &moves, Error *error)> copying;
    // The complete copies are on the disk under their own names, to be
    // recorded on the disk before any source is removed. False: the copies
    // are removed and every move fails with the error.
    std::function<bool(const std::vector<const VolumeMove *> &moves, Error *error)> placed;
    // Told as each move starts (nothing copied yet) and of the bytes of its
    // file data copied so far, at least every 8 MB. False stops: that move
    // and every later one fail with ECANCELED, and no copy is placed.
    std::function<bool(const VolumeMove &move, qint64 copied, qint64 total)> copied;
};

// Moves each item to its destination on another volume without replacing
// anything there. Every copy is made under a temporary name beside its
// destination; then all of them are synced to the disk, renamed into place
// and synced again; only then are the sources removed. A move that fails
// leaves its source whole and no partial copy. Each move's outcome is set
// in it.
void MoveAcrossVolumes(std::vector<VolumeMove> &moves, const VolumeMoveSteps &steps);

// The log line for an item that moved without some attributes, name being
// the item's name as the run's other lines show it.
QString AttributesNotKeptMessage(const QString &name, const MoveReport &report);

namespace move_detail {

// The system's rename without replacing, or where the file system cannot do
// it, the race-free stand-in below: MoveByRename without its test seam.
int RenameNoReplace(const QByteArray &from, const QByteArray &to);

// The stand-in for a no-replace rename on file systems without the flag:
// link + unlink for a file; for a folder, and for a file where the file
// system keeps no hard links either (FAT, exFAT), claim the name with an
// exclusive mkdir or create and rename onto the claim, which is taken back
// if the rename fails. A claim another program replaced or removed is left
// alone and the move fails with EEXIST. Returns 0 or an errno.
int RenameNoReplaceFallback(const QByteArray &from, const QByteArray &to);

// The cross-volume path for one item, so tests can drive it on one volume.
bool MoveAcrossVolumes(const QByteArray &from, const QByteArray &to, Error *error,
                       MoveReport *report = nullptr);

} // namespace move_detail
