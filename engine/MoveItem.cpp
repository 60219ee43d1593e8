#include "engine/MoveItem.h"

#include "engine/FileSystem.h"

#include <QFile>
#include <QUuid>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

move_detail::CopyFaultHook &FaultHook() {
    static move_detail::CopyFaultHook hook;
    return hook;
}

move_detail::StepHook &StepHookSlot() {
    static move_detail::StepHook hook;
    return hook;
}

void Step(const char *step, const QByteArray &path) {
    if (const auto &hook = StepHookSlot()) {
        hook(step, path);
    }
}

int RenameNoReplace(const QByteArray &from, const QByteArray &to) {
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    const int err = errno;
    // EINVAL is also what moving a folder into itself gives; the fallback
    // then fails the same way and cleans up its claim.
    if (err == EINVAL || err == ENOSYS || err == EOPNOTSUPP) {
        return move_detail::RenameNoReplaceFallback(from, to);
    }
    return err;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes now and reports what close said (it can report a failed write).
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

Error UnsupportedKind() {
    return Error{PosixErrorDomain, EOPNOTSUPP,
                 QStringLiteral("无法跨磁盘移动管道、套接字或设备文件")};
}

int CopyBytes(int in, int out) {
    for (;;) {
        const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (copied > 0) {
            continue;
        }
        if (copied == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
            return errno;
        }
        break;
    }
    std::array<char, 1 << 16> buffer{};
    for (;;) {
        const ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got == 0) {
            return 0;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        ssize_t done = 0;
        while (done < got) {
            const ssize_t put = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            done += put;
        }
    }
}

// Keeps owner where allowed (root moving another user's items), then mode and
// times. Owner first: changing it can clear set-id bits.
void KeepMetadata(const QByteArray &to, const struct stat &st) {
    const std::array<timespec, 2> times{st.st_atim, st.st_mtim};
    if (S_ISLNK(st.st_mode)) {
        (void)::lchown(to.constData(), st.st_uid, st.st_gid);
        (void)::utimensat(AT_FDCWD, to.constData(), times.data(), AT_SYMLINK_NOFOLLOW);
        return;
    }
    (void)::lchown(to.constData(), st.st_uid, st.st_gid);
    (void)::chmod(to.constData(), st.st_mode & 07777);
    (void)::utimensat(AT_FDCWD, to.constData(), times.data(), 0);
}

bool CopyEntry(const QByteArray &from, const QByteArray &to, Error *error);

bool CopyFile(const QByteArray &from, const QByteArray &to, const struct stat &st, Error *error) {
    Fd in(::open(from.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (in.get() < 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    Fd out(::open(to.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    int err = CopyBytes(in.get(), out.get());
    if (err == 0) {
        err = out.close();
    }
    if (err != 0) {
        SetError(error, PosixError(err));
        return false;
    }
    KeepMetadata(to, st);
    return true;
}

bool CopyFolder(const QByteArray &from, const QByteArray &to, const struct stat &st, Error *error) {
    // Owner-only while filling it, so a read-only source folder can be copied.
    if (::mkdir(to.constData(), 0700) != 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    const bool copied = ForEachName(
        from,
        [&](const char *name) { return CopyEntry(from + '/' + name, to + '/' + name, error); },
        error);
    if (!copied) {
        return false;
    }
    // Times last: adding the children changed them.
    KeepMetadata(to, st);
    return true;
}

bool CopyEntry(const QByteArray &from, const QByteArray &to, Error *error) {
    if (const auto &hook = FaultHook()) {
        if (const int err = hook(from)) {
            SetError(error, PosixError(err));
            return false;
        }
    }
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        return CopyFile(from, to, st, error);
    }
    if (S_ISDIR(st.st_mode)) {
        return CopyFolder(from, to, st, error);
    }
    if (S_ISLNK(st.st_mode)) {
        QByteArray target(static_cast<qsizetype>(st.st_size) + 1, '\0');
        const ssize_t length = ::readlink(from.constData(), target.data(), target.size());
        if (length < 0) {
            SetError(error, PosixError(errno));
            return false;
        }
        target.truncate(length);
        if (::symlink(target.constData(), to.constData()) != 0) {
            SetError(error, PosixError(errno));
            return false;
        }
        KeepMetadata(to, st);
        return true;
    }
    SetError(error, UnsupportedKind());
    return false;
}

QByteArray TemporarySibling(const QByteArray &to) {
    const qsizetype slash = to.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : to.left(slash + 1);
    return folder + TemporaryPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1();
}

} // namespace

namespace move_detail {

int RenameNoReplaceFallback(const QByteArray &from, const QByteArray &to) {
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::link(from.constData(), to.constData()) != 0) {
            return errno;
        }
        if (::unlink(from.constData()) != 0) {
            const int err = errno;
            ::unlink(to.constData());
            return err;
        }
        return 0;
    }
    if (::mkdir(to.constData(), 0700) != 0) {
        return errno;
    }
    if (::rename(from.constData(), to.constData()) != 0) {
        const int err = errno;
        ::rmdir(to.constData());
        return err;
    }
    return 0;
}

bool MoveAcrossVolumes(const QByteArray &from, const QByteArray &to, Error *error,
                       const MoveSteps *steps) {
    struct stat st {};
    if (::lstat(from.constData(), &st) != 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
        SetError(error, UnsupportedKind());
        return false;
    }
    // Fail early rather than copy a whole tree for a name that is taken.
    struct stat existing {};
    if (::lstat(to.constData(), &existing) == 0) {
        SetError(error, PosixError(EEXIST));
        return false;
    }
    const QByteArray temporary = TemporarySibling(to);
    if (steps != nullptr && steps->copying && !steps->copying(temporary, error)) {
        return false;
    }
    if (!CopyEntry(from, temporary, error)) {
        RemoveTree(temporary);
        return false;
    }
    if (const int err = RenameNoReplace(temporary, to)) {
        RemoveTree(temporary);
        SetError(error, PosixError(err));
        return false;
    }
    if (steps != nullptr && steps->placed) {
        steps->placed();
    }
    Step("placed", to);
    // The complete copy is in place; a source that cannot be removed fully
    // leaves a duplicate behind, never a loss.
    RemoveMovedSource(from, to);
    return true;
}

void SetCopyFaultHook(CopyFaultHook hook) {
    FaultHook() = std::move(hook);
}

void SetStepHook(StepHook hook) {
    StepHookSlot() = std::move(hook);
}

} // namespace move_detail

bool RemoveMovedSource(const QByteArray &source, const QByteArray &copy) {
    struct stat original {};
    if (::lstat(source.constData(), &original) != 0) {
        return errno == ENOENT;
    }
    struct stat copied {};
    if (::lstat(copy.constData(), &copied) != 0 ||
        (original.st_mode & S_IFMT) != (copied.st_mode & S_IFMT)) {
        return false;
    }
    if (S_ISREG(original.st_mode) &&
        (original.st_size != copied.st_size ||
         std::abs(original.st_mtim.tv_sec - copied.st_mtim.tv_sec) > 2)) {
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
        Step("remove", source);
        return ::rmdir(source.constData()) == 0 || errno == ENOENT;
    }
    Step("remove", source);
    return ::unlink(source.constData()) == 0 || errno == ENOENT;
}

bool MoveItem(const QString &from, const QString &to, Error *error, const MoveSteps *steps) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray destination = QFile::encodeName(to);
    const int err = RenameNoReplace(source, destination);
    if (err == 0) {
        return true;
    }
    if (err == EXDEV) {
        return move_detail::MoveAcrossVolumes(source, destination, error, steps);
    }
    SetError(error, PosixError(err));
    return false;
}
