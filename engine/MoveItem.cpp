#include "engine/MoveItem.h"

#include "engine/FileSystem.h"
#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"

#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

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

} // namespace

namespace move_detail {

int RenameNoReplace(const QByteArray &from, const QByteArray &to) {
    const int err = platform::RenameWithoutReplacing(from, to);
    if (err != 0 && platform::CannotRenameWithoutReplacing(err)) {
        return RenameNoReplaceFallback(from, to);
    }
    return err;
}

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
    return move_detail::RenameNoReplace(from, to);
}

QString AttributesNotKeptMessage(const QString &name, const MoveReport &report) {
    if (report.attributesNotKept.isEmpty()) {
        return {};
    }
    return QStringLiteral("%1 的部分扩展属性未能保留：%2")
        .arg(name, report.attributesNotKept.join(QStringLiteral("、")));
}
