// The Linux half of a move (engine/MovePlatform.h): renameat2 without
// replacing; a file's data copied by copy_file_range with its holes kept and
// written behind as it goes; extended attributes and ACLs, owner, mode and
// times in the order mv uses; which volumes syncfs can be trusted with; and
// the flags that keep an entry from being removed.

#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

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

// Small enough to stay in the processor's cache between the read and the
// write: a copy through 1 MB took three times as long here as through this.
constexpr size_t BufferSize = size_t{1} << 17;

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

// Copies the bytes [offset, end) to the same offsets of out: with
// copy_file_range while the kernel takes it (it refuses most pairs of
// different file systems), else through the buffer.
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

} // namespace

namespace platform {

int RenameWithoutReplacing(const QByteArray &from, const QByteArray &to) {
    if (const int fault = RenameFault("renameNoReplace", from)) {
        return fault;
    }
    return ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0
               ? 0
               : errno;
}

struct timespec ChangeTime(const struct stat &st) {
    return st.st_ctim;
}

// EINVAL is also what moving a folder into itself gives; the fallback then
// fails the same way and cleans up its claim.
bool CannotRenameWithoutReplacing(int err) {
    return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

// Where the system can sync a whole volume in one call, and where it can be
// trusted to: a network or user-space file system may take syncfs as a mere
// flush of its cache, so there every entry is synced on its own.
bool SyncsWholeVolume(const QByteArray &folder) {
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
}

// statx reports the flags with the rest of an inode's metadata; a file
// system that keeps none reports none. Links carry no flags here.
int Unremovable(const QByteArray &path, const struct stat &st) {
    if (S_ISLNK(st.st_mode)) {
        return 0;
    }
    struct statx attributes {};
    if (::statx(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC, 0,
                &attributes) != 0) {
        return 0; // not to be told: the removal will say
    }
    return (attributes.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0 ? EPERM
                                                                                         : 0;
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

bool FinishFolder(const QByteArray &from, const QByteArray &to, const struct stat &st,
                  CopyContext &context, Error * /*error*/) {
    KeepMetadata(from, to, st, context);
    return true;
}

} // namespace platform
