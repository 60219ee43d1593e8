#include "engine/TreeCopy.h"

#include "engine/FileSystem.h"
#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <utility>

namespace {

// The first copy of each source inode that has more than one name, so that
// its other names in the tree become links to that copy.
using FirstCopies = std::map<std::pair<dev_t, ino_t>, QByteArray>;

bool CopyEntry(const QByteArray &from, const QByteArray &to, FirstCopies &firstCopies,
               CopyContext &context, Error *error);

bool CopyFolder(const QByteArray &from, const QByteArray &to, const struct stat &st,
                FirstCopies &firstCopies, CopyContext &context, Error *error) {
    if (!platform::StartFolder(from, to, context, error)) {
        return false;
    }
    const bool copied = ForEachName(
        from,
        [&](const char *name) {
            return CopyEntry(from + '/' + name, to + '/' + name, firstCopies, context, error);
        },
        error);
    if (!copied) {
        return false;
    }
    // Metadata last: adding the children changed the times.
    platform::FinishFolder(from, to, st, context);
    return true;
}

bool CopyEntry(const QByteArray &from, const QByteArray &to, FirstCopies &firstCopies,
               CopyContext &context, Error *error) {
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
        return CopyFolder(from, to, st, firstCopies, context, error);
    }
    const bool linked = st.st_nlink > 1;
    const std::pair<dev_t, ino_t> inode{st.st_dev, st.st_ino};
    if (linked) {
        // Another name of an inode already copied: link it, as in the source.
        // Where the target cannot, this name gets a copy of its own.
        const auto first = firstCopies.find(inode);
        if (first != firstCopies.end() &&
            ::linkat(AT_FDCWD, first->second.constData(), AT_FDCWD, to.constData(), 0) == 0) {
            return true;
        }
    }
    bool copied = false;
    if (S_ISREG(st.st_mode)) {
        copied = platform::CopyFile(from, to, st, context, error);
    } else if (S_ISLNK(st.st_mode)) {
        copied = platform::CopyLink(from, to, st, context, error);
    } else {
        SetError(error, UnsupportedKind());
        return false;
    }
    if (copied && linked) {
        firstCopies.emplace(inode, to);
    }
    return copied;
}

} // namespace

Error UnsupportedKind() {
    return Error{PosixErrorDomain, EOPNOTSUPP,
                 QStringLiteral("无法跨磁盘移动管道、套接字或设备文件")};
}

bool CopyTree(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error) {
    FirstCopies firstCopies;
    return CopyEntry(from, to, firstCopies, context, error);
}

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
