#include "engine/MoveItem.h"

#include "engine/FileSystem.h"
#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"
#include "engine/TreeCopy.h"

#include <QFile>
#include <QSet>
#include <QUuid>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The system's rename without replacing, or where the file system cannot do
// it, the race-free fallback.
int RenameNoReplace(const QByteArray &from, const QByteArray &to) {
    const int err = platform::RenameWithoutReplacing(from, to);
    if (err != 0 && platform::CannotRenameWithoutReplacing(err)) {
        return move_detail::RenameNoReplaceFallback(from, to);
    }
    return err;
}

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

// What a claim on a file's name holds, so that one left by a kill can be
// told from any other file: this mark, then the source's path.
constexpr QByteArrayView ClaimMark{"kestrue-claim\n"};

QByteArray ClaimText(const QByteArray &source) {
    return ClaimMark.toByteArray() + source;
}

int MakeClaimFile(const QByteArray &to, const QByteArray &source, struct stat *claim) {
    const int fd =
        ::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return errno;
    }
    const QByteArray text = ClaimText(source);
    int err = WriteAll(fd, text.constData(), text.size());
    if (err == 0 && ::fstat(fd, claim) != 0) {
        err = errno;
    }
    ::close(fd);
    if (err != 0) {
        ::unlink(to.constData());
    }
    return err;
}

bool SameTime(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The claim made here still has its name. Its inode number alone could be
// another entry's that was made after the claim went; its change time,
// which nothing but a change to the claim moves, tells them apart.
bool StillClaim(const QByteArray &to, const struct stat &claim) {
    struct stat now {};
    return ::lstat(to.constData(), &now) == 0 && now.st_dev == claim.st_dev &&
           now.st_ino == claim.st_ino && (now.st_mode & S_IFMT) == (claim.st_mode & S_IFMT) &&
           SameTime(platform::ChangeTime(now), platform::ChangeTime(claim)) &&
           (S_ISDIR(now.st_mode) || now.st_size == claim.st_size);
}

bool SameEntry(const struct stat &original, const struct stat &copied) {
    if ((original.st_mode & S_IFMT) != (copied.st_mode & S_IFMT)) {
        return false;
    }
    return !S_ISREG(original.st_mode) || (original.st_size == copied.st_size &&
                                          std::abs(original.st_mtime - copied.st_mtime) <= 2);
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

} // namespace

namespace move_detail {

int RenameNoReplaceFallback(const QByteArray &from, const QByteArray &to) {
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        return errno;
    }
    const bool folder = S_ISDIR(st.st_mode);
    if (!folder) {
        // linkat without flags names a symbolic link itself, where macOS's
        // link would name what it points to.
        int err = RenameFault("link", from);
        if (err == 0 && ::linkat(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), 0) != 0) {
            err = errno;
        }
        if (err == 0) {
            ReachStep("linked", to);
            if (::unlink(from.constData()) != 0) {
                err = errno;
                // Taken back only while it is still the link made here.
                struct stat now {};
                if (::lstat(to.constData(), &now) == 0 && now.st_dev == st.st_dev &&
                    now.st_ino == st.st_ino) {
                    ::unlink(to.constData());
                }
                return err;
            }
            return 0;
        }
        // Without hard links (FAT and exFAT: ENOTSUP on macOS; EPERM from
        // Linux's own drivers, ENOSYS from a FUSE one) the name is claimed as
        // a folder's is, below.
        if (err != EPERM && err != ENOTSUP && err != EOPNOTSUPP && err != ENOSYS && err != EMLINK) {
            return err;
        }
    }
    // The claim: an empty folder, or a file holding the claim's mark, made
    // here and nowhere else.
    struct stat claim {};
    if (folder) {
        if (::mkdir(to.constData(), 0700) != 0 || ::lstat(to.constData(), &claim) != 0) {
            return errno;
        }
    } else if (const int err = MakeClaimFile(to, from, &claim)) {
        return err;
    }
    ReachStep("claimed", to);
    int err = RenameFault("rename", from);
    // The rename replaces whatever has the name: only the claim made here,
    // provided it still stands. Another program's file put in its place (an
    // editor's save renames over a name) is left alone. No call closes the
    // window between this look and the rename: it is two system calls with
    // nothing between them, some microseconds, where another program would
    // have to replace the claim for its file to be lost. A folder is safe
    // even there: rename onto anything but an empty folder fails.
    if (err == 0 && !StillClaim(to, claim)) {
        return EEXIST;
    }
    if (err == 0 && ::rename(from.constData(), to.constData()) == 0) {
        return 0;
    }
    if (err == 0) {
        err = errno;
    }
    // Taken back only while it is still the claim made here.
    if (StillClaim(to, claim)) {
        if (folder) {
            ::rmdir(to.constData());
        } else {
            ::unlink(to.constData());
        }
    }
    return err;
}

bool MoveAcrossVolumes(const QByteArray &from, const QByteArray &to, Error *error,
                       MoveReport *report) {
    std::vector<VolumeMove> moves{VolumeMove{from, to, {}, false, {}, {}}};
    ::MoveAcrossVolumes(moves, VolumeMoveSteps{});
    VolumeMove &move = moves.front();
    if (!move.moved) {
        SetError(error, move.error);
        return false;
    }
    if (report != nullptr) {
        report->attributesNotKept = std::move(move.attributesNotKept);
    }
    return true;
}

} // namespace move_detail

bool IsCopyOf(const QByteArray &copy, const QByteArray &source) {
    struct stat original {};
    struct stat copied {};
    return ::lstat(source.constData(), &original) == 0 && ::lstat(copy.constData(), &copied) == 0 &&
           SameEntry(original, copied);
}

void RemoveLeftClaim(const QByteArray &to, const QByteArray &source) {
    struct stat st {};
    struct stat from {};
    if (::lstat(to.constData(), &st) != 0 || ::lstat(source.constData(), &from) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode) && S_ISDIR(from.st_mode)) {
        ::rmdir(to.constData()); // only while empty
        return;
    }
    const QByteArray text = ClaimText(source);
    if (!S_ISREG(st.st_mode) || st.st_size != text.size()) {
        return;
    }
    const int fd = ::open(to.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    QByteArray held(text.size() + 1, '\0');
    const ssize_t read = ::read(fd, held.data(), static_cast<size_t>(held.size()));
    ::close(fd);
    if (read == text.size() && held.first(text.size()) == text) {
        ::unlink(to.constData());
    }
}

bool RemoveMovedSource(const QByteArray &source, const QByteArray &copy) {
    struct stat original {};
    if (::lstat(source.constData(), &original) != 0) {
        return errno == ENOENT;
    }
    struct stat copied {};
    if (::lstat(copy.constData(), &copied) != 0 || !SameEntry(original, copied)) {
        return false; // not the item that was copied
    }
    if (S_ISDIR(original.st_mode)) {
        bool complete = true;
        const bool listed = ForEachName(
            source,
            [&](const char *name) {
                complete = RemoveMovedSource(source + '/' + name, copy + '/' + name) && complete;
                return true;
            },
            nullptr);
        if (!listed || !complete) {
            return false;
        }
        ReachStep("remove", source);
        return ::rmdir(source.constData()) == 0 || errno == ENOENT;
    }
    ReachStep("remove", source);
    return ::unlink(source.constData()) == 0 || errno == ENOENT;
}

bool MoveItem(const QString &from, const QString &to, Error *error, MoveReport *report) {
    return MoveItem(NameBytes(from), NameBytes(to), error, report);
}

bool MoveItem(const QByteArray &source, const QByteArray &destination, Error *error,
              MoveReport *report) {
    if (report != nullptr) {
        report->attributesNotKept.clear();
    }
    const int err = MoveByRename(source, destination);
    if (err == 0) {
        return true;
    }
    if (err == EXDEV) {
        return move_detail::MoveAcrossVolumes(source, destination, error, report);
    }
    SetError(error, PosixError(err));
    return false;
}

int MoveByRename(const QByteArray &from, const QByteArray &to) {
    if (const auto &hook = TestHooks().moveFault) {
        if (const int fault = hook(from)) {
            return fault;
        }
    }
    return RenameNoReplace(from, to);
}

void MoveAcrossVolumes(std::vector<VolumeMove> &moves, const VolumeMoveSteps &steps) {
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
    if (live.empty()) {
        return;
    }
    Error error;
    if (steps.copying && !steps.copying(ConstView(live), &error)) {
        FailAll(live, error, false);
        return;
    }
    // Opened before the copies are written, one per destination volume.
    std::map<dev_t, std::unique_ptr<DestinationVolume>> volumes;
    std::map<dev_t, std::vector<VolumeMove *>> byVolume;
    bool stopped = false;
    for (VolumeMove *move : live) {
        if (stopped) {
            move->error = PosixError(ECANCELED);
            continue;
        }
        const QByteArray folder = ParentFolder(move->to);
        struct stat st {};
        if (::stat(folder.constData(), &st) != 0) {
            move->error = PosixError(errno);
            continue;
        }
        auto &volume = volumes[st.st_dev];
        if (!volume) {
            volume = std::make_unique<DestinationVolume>(folder);
        }
        CopyContext context;
        if (steps.copied) {
            context.progress = [&steps, move](qint64 copied, qint64 total) {
                return steps.copied(*move, copied, total);
            };
            context.totalBytes = DataSize(move->from);
            stopped = !context.progress(0, context.totalBytes);
        }
        if (stopped || !CopyTree(move->from, move->temporary, context, &move->error)) {
            RemoveTree(move->temporary);
            stopped = stopped || context.stopped;
            if (stopped) {
                move->error = PosixError(ECANCELED);
            }
            continue;
        }
        move->attributesNotKept = std::move(context.notKept);
        byVolume[st.st_dev].push_back(move);
    }
    if (stopped) {
        // No copy is placed once the run is to stop: the sources stay whole.
        for (auto &[device, group] : byVolume) {
            FailAll(group, PosixError(ECANCELED), false);
        }
        return;
    }
    std::vector<VolumeMove *> placed;
    for (auto &[device, group] : byVolume) {
        // The copies are on the disk before their names are.
        if (const int err = volumes[device]->syncCopies(group)) {
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
        if (const int err = volumes[device]->syncPlaced(named)) {
            FailAll(named, PosixError(err), true);
            continue;
        }
        placed.insert(placed.end(), named.begin(), named.end());
    }
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

QString AttributesNotKeptMessage(const QString &name, const MoveReport &report) {
    if (report.attributesNotKept.isEmpty()) {
        return {};
    }
    return QStringLiteral("%1 的部分扩展属性未能保留：%2")
        .arg(name, report.attributesNotKept.join(QStringLiteral("、")));
}
