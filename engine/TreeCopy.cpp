#include "engine/TreeCopy.h"

#include "engine/FileSystem.h"
#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool CopyFolder(const QByteArray &from, const QByteArray &to, const struct stat &st,
                CopyContext &context, Error *error) {
    if (!platform::StartFolder(from, to, context, error)) {
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
    platform::FinishFolder(from, to, st, context);
    return true;
}

} // namespace

Error UnsupportedKind() {
    return Error{PosixErrorDomain, EOPNOTSUPP,
                 QStringLiteral("无法跨磁盘移动管道、套接字或设备文件")};
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
        copied = platform::CopyFile(from, to, st, context, error);
    } else if (S_ISLNK(st.st_mode)) {
        copied = platform::CopyLink(from, to, st, context, error);
    } else {
        SetError(error, UnsupportedKind());
        return false;
    }
    if (copied && linked) {
        context.firstCopies.emplace(inode, to);
    }
    return copied;
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
