#include "engine/TreeCopy.h"

#include "engine/FileSystem.h"
#include "engine/LogText.h"
#include "engine/MovePlatform.h"
#include "engine/TestHooks.h"

#include <QFile>
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

// What the walk over one tree keeps.
struct Walk {
    FirstCopies firstCopies;
    qsizetype rootLength; // of the tree's path, to name an entry within it
    uid_t user = ::geteuid();
};

// A source folder whose entries the walk copies, and that are to be
// unlinked once the copy is in place.
struct SourceFolder {
    QByteArray path;
    struct stat st {};
    int letsGo = -1; // 0, or why this user cannot unlink its entries; -1 until asked
};

// 0 when the entry at path, st its lstat, can be removed from folder once
// it is copied; else the errno that its removal would meet.
int Removable(SourceFolder &folder, const QByteArray &path, const struct stat &st,
              const Walk &walk) {
    if (folder.letsGo < 0) {
        folder.letsGo = ::faccessat(AT_FDCWD, folder.path.constData(), W_OK | X_OK, AT_EACCESS) == 0
                            ? 0
                            : errno;
    }
    if (folder.letsGo != 0) {
        return folder.letsGo;
    }
    // In a sticky folder (as /tmp) only an entry's owner or the folder's
    // may unlink it; root may always.
    if ((folder.st.st_mode & S_ISVTX) != 0 && walk.user != 0 && st.st_uid != walk.user &&
        folder.st.st_uid != walk.user) {
        return EPERM;
    }
    return platform::Unremovable(path, st);
}

// Why an entry of the tree would stay behind: the item is not moved.
Error CannotRemove(const QByteArray &path, int err, const Walk &walk) {
    // EPERM here is a lock or a sticky folder, nothing the user's rights
    // could change: said as the system says it, not as "no permission".
    const QString why = err == EPERM ? QStringLiteral("不允许的操作") : DescribeErrno(err);
    const QByteArray inside = path.mid(walk.rootLength + 1);
    const QString description =
        inside.isEmpty()
            ? QStringLiteral("无法移走（%1）").arg(why)
            : QStringLiteral("其中的 %1 无法移走（%2）").arg(VisibleName(NameText(inside)), why);
    return Error{PosixErrorDomain, err, description};
}

bool CopyEntry(const QByteArray &from, const QByteArray &to, SourceFolder &folder, Walk &walk,
               CopyContext &context, Error *error);

bool CopyFolder(const QByteArray &from, const QByteArray &to, const struct stat &st, Walk &walk,
                CopyContext &context, Error *error) {
    if (!platform::StartFolder(from, to, context, error)) {
        return false;
    }
    SourceFolder self{from, st};
    const bool copied = ForEachName(
        from,
        [&](const char *name) {
            return CopyEntry(from + '/' + name, to + '/' + name, self, walk, context, error);
        },
        error);
    if (!copied) {
        return false;
    }
    // Metadata last: adding the children changed the times.
    return platform::FinishFolder(from, to, st, context, error);
}

// Copies one entry, having made sure it can be removed once copied: a move
// that would leave part of its source behind is refused before anything of
// it is placed.
bool CopyEntry(const QByteArray &from, const QByteArray &to, SourceFolder &folder, Walk &walk,
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
    if (const int err = Removable(folder, from, st, walk)) {
        SetError(error, CannotRemove(from, err, walk));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        return CopyFolder(from, to, st, walk, context, error);
    }
    const bool linked = st.st_nlink > 1;
    const std::pair<dev_t, ino_t> inode{st.st_dev, st.st_ino};
    if (linked) {
        // Another name of an inode already copied: link it, as in the source.
        // Where the target cannot, this name gets a copy of its own.
        const auto first = walk.firstCopies.find(inode);
        if (first != walk.firstCopies.end() &&
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
        walk.firstCopies.emplace(inode, to);
    }
    return copied;
}

} // namespace

Error UnsupportedKind() {
    return Error{PosixErrorDomain, EOPNOTSUPP,
                 QStringLiteral("无法跨磁盘移动管道、套接字或设备文件")};
}

bool CopyTree(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error) {
    Walk walk{{}, from.size()};
    SourceFolder holder{ParentFolder(from)};
    if (::stat(holder.path.constData(), &holder.st) != 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    return CopyEntry(from, to, holder, walk, context, error);
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
