#include "engine/MoveItem.h"

#include "engine/FileSystem.h"
#include "engine/TestHooks.h"

#include <QFile>
#include <QSet>
#include <QUuid>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __APPLE__
#include <copyfile.h>
#else
#include <sys/xattr.h>
#endif
#ifdef __linux__
#include <sys/vfs.h>
#endif

namespace {

int RenameNoReplace(const QByteArray &from, const QByteArray &to) {
#ifdef __APPLE__
    if (::renamex_np(from.constData(), to.constData(), RENAME_EXCL) == 0) {
        return 0;
    }
    const int err = errno;
    if (err == EINVAL || err == ENOTSUP) {
        return move_detail::RenameNoReplaceFallback(from, to);
    }
    return err;
#else
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
#endif
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

    void refused(const char *attribute) {
        const QString name = QFile::decodeName(attribute);
        if (!notKept.contains(name)) {
            notKept.append(name);
        }
    }
};

#ifndef __APPLE__

constexpr size_t BufferSize = size_t{1} << 20;

// Copies the bytes [offset, end) to the same offsets of out: with
// copy_file_range while the kernel takes it (it refuses most pairs of
// different file systems), else through the buffer.
// A stop is honoured, and progress told, at least this often.
constexpr off_t ProgressStep = off_t{8} << 20;

// Starts writing what was just copied of a large file to the disk while the
// copy goes on, so that the sync before the source is removed finds little
// left to write. Small files are left to the sync, which writes them
// together. Only a hint: nothing waits for it, and its failure is the
// sync's to report.
void WriteBehind(int out, off_t from, off_t to, off_t start) {
    if (to > from && from > start) {
        (void)::sync_file_range(out, from, to - from, SYNC_FILE_RANGE_WRITE);
    }
}

int CopyRange(int in, int out, off_t offset, off_t end, bool *direct, CopyContext &context) {
    std::vector<char> &buffer = context.buffer;
    const off_t start = offset;
    off_t written = offset; // where the write-behind has reached
    while (offset < end) {
        if (offset - written >= ProgressStep) {
            (void)::sync_file_range(out, written, offset - written, SYNC_FILE_RANGE_WRITE);
            written = offset;
        }
        const auto want = static_cast<size_t>(std::min<off_t>(end - offset, ProgressStep));
        if (*direct) {
            loff_t inAt = offset;
            loff_t outAt = offset;
            const ssize_t copied = ::copy_file_range(in, &inAt, out, &outAt, want, 0);
            if (copied > 0) {
                offset += copied;
                if (const int err = context.advance(copied)) {
                    return err;
                }
                continue;
            }
            if (copied == 0) {
                WriteBehind(out, written, offset, start);
                return 0; // the source got shorter meanwhile
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) {
                return errno;
            }
            *direct = false;
        }
        if (buffer.empty()) {
            buffer.resize(BufferSize);
        }
        const ssize_t got = ::pread(in, buffer.data(), std::min(want, buffer.size()), offset);
        if (got == 0) {
            WriteBehind(out, written, offset, start);
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
            const ssize_t put =
                ::pwrite(out, buffer.data() + done, static_cast<size_t>(got - done), offset + done);
            if (put < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            done += put;
        }
        offset += got;
        if (const int err = context.advance(got)) {
            return err;
        }
    }
    WriteBehind(out, written, offset, start);
    return 0;
}

// Copies the data regions only, so that holes stay holes; what follows the
// last region is the file's size alone. A file system that cannot tell holes
// apart reports the whole file as data, and it is copied as it is.
int CopyData(int in, int out, CopyContext &context) {
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        return errno;
    }
    const off_t size = st.st_size;
    bool direct = true;
    off_t offset = 0;
    while (offset < size) {
        off_t data = ::lseek(in, offset, SEEK_DATA);
        off_t hole = size;
        if (data < 0) {
            if (errno == ENXIO) {
                break; // nothing but a hole up to the end
            }
            if (errno != EINVAL && errno != EOPNOTSUPP) {
                return errno;
            }
            data = offset;
        } else {
            hole = ::lseek(in, data, SEEK_HOLE);
            if (hole < 0) {
                return errno;
            }
            hole = std::min(hole, size);
        }
        if (const int err = CopyRange(in, out, data, hole, &direct, context)) {
            return err;
        }
        offset = hole;
    }
    return ::ftruncate(out, size) == 0 ? 0 : errno;
}

// The names of path's extended attributes, each ended by a NUL; empty when it
// has none or its file system keeps none.
QByteArray AttributeNames(const QByteArray &path) {
    for (;;) {
        const ssize_t size = ::llistxattr(path.constData(), nullptr, 0);
        if (size <= 0) {
            return {};
        }
        QByteArray names(size, '\0');
        const ssize_t got =
            ::llistxattr(path.constData(), names.data(), static_cast<size_t>(names.size()));
        if (got >= 0) {
            names.truncate(got);
            return names;
        }
        if (errno != ERANGE) { // ERANGE: one was added since the first call
            return {};
        }
    }
}

// Reads one attribute's value; false with errno when it cannot be read.
bool ReadAttribute(const QByteArray &path, const char *name, QByteArray *value) {
    for (;;) {
        const ssize_t size = ::lgetxattr(path.constData(), name, nullptr, 0);
        if (size < 0) {
            return false;
        }
        value->resize(size);
        const ssize_t got =
            ::lgetxattr(path.constData(), name, value->data(), static_cast<size_t>(value->size()));
        if (got >= 0 && got <= value->size()) {
            value->truncate(got);
            return true;
        }
        if (got < 0 && errno != ERANGE) {
            return false;
        }
        // It grew since the first call: ask again.
    }
}

int WriteAttribute(const QByteArray &path, const char *name, const QByteArray &value) {
    if (const auto &hook = TestHooks().attributeFault) {
        if (const int err = hook(path, name)) {
            return err;
        }
    }
    return ::lsetxattr(path.constData(), name, value.constData(), static_cast<size_t>(value.size()),
                       0) == 0
               ? 0
               : errno;
}

bool IsAcl(const char *name) {
    return std::strncmp(name, "system.posix_acl_", 17) == 0;
}

// Written by the kernel alone and bound to the file it was computed for.
bool NeverCopied(const char *name) {
    return std::strcmp(name, "security.evm") == 0;
}

// The receiving system labels what arrives; its refusal of the source's
// label is its policy at work, not a loss worth a line.
bool QuietWhenRefused(const char *name) {
    return std::strcmp(name, "security.selinux") == 0;
}

constexpr const char *AccessAcl = "system.posix_acl_access";
constexpr const char *DefaultAcl = "system.posix_acl_default";

void CopyAttributes(const QByteArray &from, const QByteArray &to, const struct stat &st,
                    CopyContext &context) {
    const QByteArray names = AttributeNames(from);
    std::vector<const char *> order;
    bool accessAcl = false;
    bool defaultAcl = false;
    for (const char *name = names.constData(); name < names.constData() + names.size();
         name += std::strlen(name) + 1) {
        accessAcl = accessAcl || std::strcmp(name, AccessAcl) == 0;
        defaultAcl = defaultAcl || std::strcmp(name, DefaultAcl) == 0;
        if (*name != '\0' && !NeverCopied(name)) {
            order.push_back(name);
        }
    }
    // An ACL the copy inherited from the target folder's default ACL is not
    // the source's: mode alone, as in the source.
    if (!S_ISLNK(st.st_mode) && !accessAcl) {
        (void)::lremovexattr(to.constData(), AccessAcl);
    }
    if (S_ISDIR(st.st_mode) && !defaultAcl) {
        (void)::lremovexattr(to.constData(), DefaultAcl);
    }
    // ACLs last: one that denies the owner writing would stop the others.
    std::stable_partition(order.begin(), order.end(),
                          [](const char *name) { return !IsAcl(name); });
    QByteArray value;
    for (const char *name : order) {
        int err = 0;
        if (!ReadAttribute(from, name, &value)) {
            err = errno;
            if (err == ENODATA) {
                continue; // removed since the listing
            }
        } else {
            err = WriteAttribute(to, name, value);
        }
        if (err != 0 && !QuietWhenRefused(name)) {
            context.refused(name);
        }
    }
}

// The order mv uses. Owner first: changing it clears file capabilities and
// set-id bits. Then extended attributes and ACLs, while the copy is still
// writable; then mode; times last, after everything that could touch them.
void KeepMetadata(const QByteArray &from, const QByteArray &to, const struct stat &st,
                  CopyContext &context) {
    (void)::lchown(to.constData(), st.st_uid, st.st_gid);
    CopyAttributes(from, to, st, context);
    const std::array<timespec, 2> times{st.st_atim, st.st_mtim};
    if (S_ISLNK(st.st_mode)) {
        (void)::utimensat(AT_FDCWD, to.constData(), times.data(), AT_SYMLINK_NOFOLLOW);
        return;
    }
    (void)::chmod(to.constData(), st.st_mode & 07777);
    (void)::utimensat(AT_FDCWD, to.constData(), times.data(), 0);
}

bool CopyFile(const QByteArray &from, const QByteArray &to, const struct stat &st,
              CopyContext &context, Error *error) {
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
    int err = CopyData(in.get(), out.get(), context);
    if (err == 0) {
        err = out.close();
    }
    if (err != 0) {
        SetError(error, PosixError(err));
        return false;
    }
    KeepMetadata(from, to, st, context);
    return true;
}

bool CopyLink(const QByteArray &from, const QByteArray &to, const struct stat &st,
              CopyContext &context, Error *error) {
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
    KeepMetadata(from, to, st, context);
    return true;
}

// Owner-only while it is filled, so a read-only source folder can be copied.
bool StartFolder(const QByteArray & /*from*/, const QByteArray &to, CopyContext & /*context*/,
                 Error *error) {
    if (::mkdir(to.constData(), 0700) != 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    return true;
}

void FinishFolder(const QByteArray &from, const QByteArray &to, const struct stat &st,
                  CopyContext &context) {
    KeepMetadata(from, to, st, context);
}

#else // __APPLE__

// Notes each attribute the target refused and lets the copy go on; any other
// failure stops it.
int NoteRefusal(int what, int stage, copyfile_state_t state, const char * /*from*/,
                const char * /*to*/, void *context) {
    if (stage != COPYFILE_ERR) {
        return COPYFILE_CONTINUE;
    }
    if (what != COPYFILE_COPY_XATTR) {
        return COPYFILE_QUIT;
    }
    const int saved = errno;
    const char *name = nullptr;
    if (copyfile_state_get(state, COPYFILE_STATE_XATTRNAME, &name) == 0 && name != nullptr) {
        static_cast<CopyContext *>(context)->refused(name);
    }
    errno = saved;
    return COPYFILE_CONTINUE;
}

// The system's own copier keeps what Finder keeps: data, extended attributes
// (resource fork, Finder info and tags, quarantine among them), ACLs, flags,
// owner, mode and times, as far as flags ask. Never follows a link, and with
// COPYFILE_EXCL never replaces.
bool SystemCopy(const QByteArray &from, const QByteArray &to, copyfile_flags_t flags,
                CopyContext &context, Error *error) {
    copyfile_state_t state = copyfile_state_alloc();
    if (state == nullptr) {
        SetError(error, PosixError(ENOMEM));
        return false;
    }
    (void)copyfile_state_set(state, COPYFILE_STATE_STATUS_CB,
                             reinterpret_cast<const void *>(&NoteRefusal));
    (void)copyfile_state_set(state, COPYFILE_STATE_STATUS_CTX, &context);
    int err = 0;
    if (copyfile(from.constData(), to.constData(), state, flags | COPYFILE_NOFOLLOW) < 0) {
        err = errno != 0 ? errno : EIO;
    }
    // Freeing closes the copy, and close can report a failed write.
    if (copyfile_state_free(state) != 0 && err == 0) {
        err = errno != 0 ? errno : EIO;
    }
    if (err != 0) {
        SetError(error, PosixError(err));
        return false;
    }
    return true;
}

bool CopyFile(const QByteArray &from, const QByteArray &to, const struct stat &st,
              CopyContext &context, Error *error) {
    copyfile_flags_t flags = COPYFILE_ALL | COPYFILE_EXCL;
#ifdef COPYFILE_DATA_SPARSE
    // Holes kept. Not for an empty file, which the sparse path fails outright.
    if (st.st_size > 0) {
        flags |= COPYFILE_DATA_SPARSE;
    }
#else
    (void)st;
#endif
    return SystemCopy(from, to, flags, context, error);
}

bool CopyLink(const QByteArray &from, const QByteArray &to, const struct stat & /*st*/,
              CopyContext &context, Error *error) {
    return SystemCopy(from, to, COPYFILE_METADATA | COPYFILE_EXCL, context, error);
}

// Created owner-writable with its extended attributes; ACL, mode, flags and
// times wait for the children, or they could lock the copy against them.
bool StartFolder(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error) {
    return SystemCopy(from, to, COPYFILE_XATTR | COPYFILE_EXCL, context, error);
}

void FinishFolder(const QByteArray &from, const QByteArray &to, const struct stat & /*st*/,
                  CopyContext &context) {
    (void)SystemCopy(from, to, COPYFILE_SECURITY, context, nullptr);
}

#endif // __APPLE__

bool CopyEntry(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error);

bool CopyFolder(const QByteArray &from, const QByteArray &to, const struct stat &st,
                CopyContext &context, Error *error) {
    if (!StartFolder(from, to, context, error)) {
        return false;
    }
    const bool copied = ForEachName(
        from,
        [&](const char *name) {
            return CopyEntry(from + '/' + name, to + '/' + name, context, error);
        },
        error);
    if (!copied) {
        return false;
    }
    // Metadata last: adding the children changed the times.
    FinishFolder(from, to, st, context);
    return true;
}

bool CopyEntry(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error) {
    if (const auto &hook = TestHooks().copyFault) {
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
    if (S_ISDIR(st.st_mode)) {
        return CopyFolder(from, to, st, context, error);
    }
    const bool linked = st.st_nlink > 1;
    const std::pair<dev_t, ino_t> inode{st.st_dev, st.st_ino};
    if (linked) {
        // Another name of an inode already copied: link it, as in the source.
        // Where the target cannot, this name gets a copy of its own.
        const auto first = context.firstCopies.find(inode);
        if (first != context.firstCopies.end() &&
            ::linkat(AT_FDCWD, first->second.constData(), AT_FDCWD, to.constData(), 0) == 0) {
            return true;
        }
    }
    bool copied = false;
    if (S_ISREG(st.st_mode)) {
        copied = CopyFile(from, to, st, context, error);
    } else if (S_ISLNK(st.st_mode)) {
        copied = CopyLink(from, to, st, context, error);
    } else {
        SetError(error, UnsupportedKind());
        return false;
    }
    if (copied && linked) {
        context.firstCopies.emplace(inode, to);
    }
    return copied;
}

// The bytes of file data in a tree, for telling how far its copy is.
qint64 DataSize(const QByteArray &path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        return 0;
    }
    if (S_ISREG(st.st_mode)) {
        return st.st_size;
    }
    qint64 total = 0;
    if (S_ISDIR(st.st_mode)) {
        ForEachName(
            path,
            [&](const char *name) {
                total += DataSize(path + '/' + name);
                return true;
            },
            nullptr);
    }
    return total;
}

QByteArray TemporarySibling(const QByteArray &to) {
    const qsizetype slash = to.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray() : to.left(slash + 1);
    return folder + TemporaryPrefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toLatin1();
}

// Where the system can sync a whole volume in one call, and where it can be
// trusted to: a network or user-space file system may take syncfs as a mere
// flush of its cache, so there every entry is synced on its own.
bool SyncsWholeVolume(const QByteArray &folder) {
#ifdef __linux__
    struct statfs fs {};
    if (::statfs(folder.constData(), &fs) != 0) {
        return false;
    }
    constexpr std::array<decltype(fs.f_type), 7> EntryByEntry{
        0x65735546, // FUSE (NTFS and exFAT drivers among them)
        0x6969,     // NFS
        0x517B,     // SMB
        0xFF534D42, // CIFS
        0xFE534D42, // SMB2
        0x01021997, // 9P
        0x47504653, // GPFS
    };
    return std::find(EntryByEntry.begin(), EntryByEntry.end(), fs.f_type) == EntryByEntry.end();
#else
    (void)folder;
    return false;
#endif
}

// One destination volume of a group of moves: opened before any copy is
// written to it, so that a write-back error during the copies is reported
// by its sync.
class DestinationVolume {
public:
    explicit DestinationVolume(const QByteArray &folder)
        : whole_(SyncsWholeVolume(folder)), volume_(folder) {}

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
        return 0;
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
                if (const int err = SyncFolder(folder)) {
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
        return 0;
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
        (original.st_size != copied.st_size || std::abs(original.st_mtime - copied.st_mtime) > 2)) {
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
    return MoveItem(QFile::encodeName(from), QFile::encodeName(to), error, report);
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
        if (stopped || !CopyEntry(move->from, move->temporary, context, &move->error)) {
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
