// Moves to another volume made as a group (engine/MoveItem.h): every item
// copied under a temporary name beside its destination, the copies synced,
// renamed into place and synced again, and only then the sources removed.

#include "engine/FileSystem.h"
#include "engine/MoveItem.h"
#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"
#include "engine/TreeCopy.h"

#include <QSet>
#include <QUuid>
#include <cerrno>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

using move_detail::RenameNoReplace;

QByteArray TemporarySibling(const QByteArray &to) {
    const qsizetype slash = to.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : to.left(slash + 1);
    return folder + TemporaryPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1();
}

// One destination volume of a group of moves: opened before any copy is
// written to it, so that a write-back error during the copies is reported
// by its sync.
class DestinationVolume {
public:
    explicit DestinationVolume(const QByteArray &folder)
        : whole_(platform::SyncsWholeVolume(folder)), volume_(folder) {}

    // The copies' data, attributes and folders, under their temporary names.
    int syncCopies(const std::vector<VolumeMove *> &moves) const {
        if (whole_) {
            const int err = volume_.sync();
            if (err != ENOSYS) {
                return err;
            }
        }
        for (const VolumeMove *move : moves) {
            if (const int err = SyncTree(move->temporary)) {
                return err;
            }
        }
        return volume_.flushDriveCache();
    }

    // The copies' new names, and every folder above them that may be new
    // (a restore makes missing folders), up to the volume's root.
    int syncPlaced(const std::vector<VolumeMove *> &moves) const {
        if (whole_) {
            const int err = volume_.sync();
            if (err != ENOSYS) {
                return err;
            }
        }
        QSet<QByteArray> synced;
        for (const VolumeMove *move : moves) {
            struct stat top {};
            QByteArray folder = ParentFolder(move->to);
            if (::stat(folder.constData(), &top) != 0) {
                return errno;
            }
            for (;;) {
                if (synced.contains(folder)) {
                    break;
                }
                synced.insert(folder);
                if (const int err = SyncFolder(folder, SyncReach::Drive)) {
                    return err;
                }
                const QByteArray up = ParentFolder(folder);
                struct stat above {};
                if (up == folder || ::stat(up.constData(), &above) != 0 ||
                    above.st_dev != top.st_dev) {
                    break;
                }
                folder = up;
            }
        }
        return volume_.flushDriveCache();
    }

private:
    bool whole_;
    VolumeSync volume_;
};

// Why an item cannot be moved to another volume, before anything is copied.
bool CheckMovable(const VolumeMove &move, Error *error) {
    struct stat st {};
    if (::lstat(move.from.constData(), &st) != 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
        SetError(error, UnsupportedKind());
        return false;
    }
    // Fail early rather than copy a whole tree for a name that is taken.
    struct stat existing {};
    if (::lstat(move.to.constData(), &existing) == 0) {
        SetError(error, PosixError(EEXIST));
        return false;
    }
    return true;
}

std::vector<const VolumeMove *> ConstView(const std::vector<VolumeMove *> &moves) {
    return {moves.begin(), moves.end()};
}

// Ends each move with the error; unless kept, what it left under its
// temporary name is removed.
void FailAll(std::vector<VolumeMove *> &moves, const Error &error, bool placed) {
    for (VolumeMove *move : moves) {
        RemoveTree(placed ? move->to : move->temporary);
        move->error = error;
        move->attributesNotKept.clear();
    }
    moves.clear();
}

// The copies of a group, by destination volume, each volume opened before
// any copy was written to it.
struct Copies {
    std::map<dev_t, std::unique_ptr<DestinationVolume>> volumes;
    std::map<dev_t, std::vector<VolumeMove *>> byVolume;
    bool stopped = false; // told to stop: no copy is to be placed
};

// The moves that can be made, each given its temporary name.
std::vector<VolumeMove *> Movable(std::vector<VolumeMove> &moves) {
    std::vector<VolumeMove *> live;
    for (VolumeMove &move : moves) {
        move.moved = false;
        move.attributesNotKept.clear();
        move.error = Error();
        if (CheckMovable(move, &move.error)) {
            move.temporary = TemporarySibling(move.to);
            live.push_back(&move);
        }
    }
    return live;
}

// One item copied under its temporary name; a failure or a stop leaves no
// copy.
void CopyOne(VolumeMove *move, const VolumeMoveSteps &steps, Copies *copies) {
    const QByteArray folder = ParentFolder(move->to);
    struct stat st {};
    if (::stat(folder.constData(), &st) != 0) {
        move->error = PosixError(errno);
        return;
    }
    auto &volume = copies->volumes[st.st_dev];
    if (!volume) {
        volume = std::make_unique<DestinationVolume>(folder);
    }
    CopyContext context;
    if (steps.copied) {
        context.progress = [&steps, move](qint64 copied, qint64 total) {
            return steps.copied(*move, copied, total);
        };
        context.totalBytes = DataSize(move->from);
        copies->stopped = !context.progress(0, context.totalBytes);
    }
    if (copies->stopped || !CopyTree(move->from, move->temporary, context, &move->error)) {
        RemoveTree(move->temporary);
        copies->stopped = copies->stopped || context.stopped;
        if (copies->stopped) {
            move->error = PosixError(ECANCELED);
        }
        return;
    }
    move->attributesNotKept = std::move(context.notKept);
    copies->byVolume[st.st_dev].push_back(move);
}

Copies CopyAll(const std::vector<VolumeMove *> &live, const VolumeMoveSteps &steps) {
    Copies copies;
    for (VolumeMove *move : live) {
        if (copies.stopped) {
            move->error = PosixError(ECANCELED);
        } else {
            CopyOne(move, steps, &copies);
        }
    }
    if (copies.stopped) {
        // No copy is placed once the run is to stop: the sources stay whole.
        for (auto &[device, group] : copies.byVolume) {
            FailAll(group, PosixError(ECANCELED), false);
        }
    }
    return copies;
}

// Each volume's copies synced, renamed into place, and their names synced;
// gives the moves whose copies are in place.
std::vector<VolumeMove *> PlaceAll(Copies &copies) {
    std::vector<VolumeMove *> placed;
    for (auto &[device, group] : copies.byVolume) {
        const DestinationVolume &volume = *copies.volumes[device];
        // The copies are on the disk before their names are.
        if (const int err = volume.syncCopies(group)) {
            FailAll(group, PosixError(err), false);
            continue;
        }
        std::vector<VolumeMove *> named;
        for (VolumeMove *move : group) {
            if (const int err = RenameNoReplace(move->temporary, move->to)) {
                RemoveTree(move->temporary);
                move->error = PosixError(err);
                move->attributesNotKept.clear();
            } else {
                named.push_back(move);
            }
        }
        if (const int err = volume.syncPlaced(named)) {
            FailAll(named, PosixError(err), true);
            continue;
        }
        placed.insert(placed.end(), named.begin(), named.end());
    }
    return placed;
}

} // namespace

void MoveAcrossVolumes(std::vector<VolumeMove> &moves, const VolumeMoveSteps &steps) {
    std::vector<VolumeMove *> live = Movable(moves);
    if (live.empty()) {
        return;
    }
    Error error;
    if (steps.copying && !steps.copying(ConstView(live), &error)) {
        FailAll(live, error, false);
        return;
    }
    Copies copies = CopyAll(live, steps);
    if (copies.stopped) {
        return;
    }
    std::vector<VolumeMove *> placed = PlaceAll(copies);
    if (placed.empty()) {
        return;
    }
    if (steps.placed && !steps.placed(ConstView(placed), &error)) {
        FailAll(placed, error, true);
        return;
    }
    for (VolumeMove *move : placed) {
        ReachStep("placed", move->to);
        // A source that cannot be removed fully leaves a duplicate behind,
        // never a loss.
        RemoveMovedSource(move->from, move->to);
        move->moved = true;
    }
}
