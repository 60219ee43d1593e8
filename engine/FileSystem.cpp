#include "engine/FileSystem.h"

#include "engine/FileSystemPlatform.h"
#include "engine/PathRules.h"
#include "engine/TestHooks.h"

#include <QFile>
#include <QSet>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

int SyncFault(const QByteArray &path) {
    const auto &hook = TestHooks().syncFault;
    return hook ? hook(path) : 0;
}

int SyncRetrying(int fd, bool dataOnly, SyncReach reach) {
    return reach == SyncReach::Drive ? platform::SyncToDrive(fd)
                                     : platform::SyncThroughCache(fd, dataOnly);
}

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsDot(const char *name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

QSet<QByteArray> ReadHiddenList(const QString &folder) {
    QSet<QByteArray> names;
    QFile file(JoinPath(folder, QStringLiteral(".hidden")));
    if (!file.open(QIODevice::ReadOnly)) {
        return names;
    }
    for (QByteArray line : file.readAll().split('\n')) {
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        if (!line.isEmpty()) {
            names.insert(line);
        }
    }
    return names;
}

// Whether the bytes are a name that text can carry and give back exactly:
// valid UTF-8, on every system, whatever its normal form. A leading
// byte-order mark is asked of the conversion itself.
bool IsFaithfulText(const QByteArray &name) {
    if (!name.isValidUtf8()) {
        return false;
    }
    return !name.startsWith("\xEF\xBB\xBF") || NameBytes(NameText(name)) == name;
}

} // namespace

QByteArray ParentFolder(const QByteArray &path) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash < 0) {
        return QByteArrayLiteral(".");
    }
    return slash == 0 ? QByteArrayLiteral("/") : path.left(slash);
}

bool IsDirectory(const QString &path) {
    struct stat st {};
    return ::stat(NameBytes(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EntryExists(const QString &path) {
    return EntryExists(NameBytes(path));
}

bool EntryExists(const QByteArray &path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

QString UniquePath(const QString &wanted) {
    return UniquePath(wanted, [](const QString &path) { return EntryExists(path); });
}

bool CreateDirectories(const QString &path, Error *error) {
    if (path.isEmpty()) {
        SetError(error, PosixError(ENOENT));
        return false;
    }
    const QByteArray bytes = NameBytes(path);
    struct stat existing {};
    if (::stat(bytes.constData(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
        return true; // the common case costs one call
    }
    // Walk the prefixes from the top; each one must end up a folder.
    for (qsizetype end = 1; end <= bytes.size(); ++end) {
        if (end != bytes.size() && bytes.at(end) != '/') {
            continue;
        }
        if (bytes.at(end - 1) == '/') {
            continue;
        }
        const QByteArray prefix = bytes.left(end);
        if (::mkdir(prefix.constData(), 0777) == 0) {
            continue;
        }
        const int err = errno;
        struct stat st {};
        if (::stat(prefix.constData(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) {
                continue;
            }
            SetError(error, PosixError(end == bytes.size() ? EEXIST : ENOTDIR));
            return false;
        }
        SetError(error, PosixError(err));
        return false;
    }
    return true;
}

bool ForEachName(const QByteArray &folder, const std::function<bool(const char *name)> &visit,
                 Error *error) {
    const DirHandle dir(::opendir(folder.constData()));
    if (!dir) {
        SetError(error, PosixError(errno));
        return false;
    }
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                SetError(error, PosixError(errno));
                return false;
            }
            return true;
        }
        if (!IsDot(entry->d_name) && !visit(entry->d_name)) {
            return false;
        }
    }
}

void PrefaultForWriting(void *data, qsizetype size) {
    platform::PopulateForWriting(data, size);
}

bool ListDirectory(const QString &path, std::vector<DirectoryEntry> *entries, Error *error) {
    entries->clear();
    const QSet<QByteArray> hiddenList = ReadHiddenList(path);
    const QByteArray folder = NameBytes(path);
    return ForEachName(
        folder,
        [&](const char *name) {
            DirectoryEntry item;
            item.rawName = QByteArray(name);
            item.nameIsText = IsFaithfulText(item.rawName);
            item.hidden = item.rawName.startsWith('.') || hiddenList.contains(item.rawName) ||
                          platform::HiddenByFlag(folder, name);
            entries->push_back(std::move(item));
            return true;
        },
        error);
}

int WriteAll(int fd, const char *data, qsizetype size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, static_cast<size_t>(size));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        data += put;
        size -= put;
    }
    return 0;
}

int SyncData(int fd, const QByteArray &path) {
    if (const int fault = SyncFault(path)) {
        return fault;
    }
    return SyncRetrying(fd, true, SyncReach::Medium);
}

int SyncFile(int fd, const QByteArray &path) {
    if (const int fault = SyncFault(path)) {
        return fault;
    }
    return SyncRetrying(fd, false, SyncReach::Medium);
}

int SyncFolder(const QByteArray &folder, SyncReach reach) {
    int err = SyncFault(folder);
    if (err == 0) {
        const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            return errno;
        }
        err = SyncRetrying(fd, false, reach);
        ::close(fd);
    }
    if (err == EINVAL || err == ENOTSUP || err == EOPNOTSUPP) {
        err = 0;
    }
    return err;
}

VolumeSync::VolumeSync(const QByteArray &path) : path_(path) {
    fd_ = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    openError_ = fd_ < 0 ? errno : 0;
}

VolumeSync::~VolumeSync() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

int VolumeSync::sync() const {
    if (openError_ != 0) {
        return openError_;
    }
    if (const int fault = SyncFault(path_)) {
        return fault;
    }
    return platform::SyncVolume(fd_);
}

int VolumeSync::flushDriveCache() const {
    return openError_ != 0 ? openError_ : platform::FlushDriveCache(fd_);
}

int SyncTree(const QByteArray &path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        return errno;
    }
    if (S_ISDIR(st.st_mode)) {
        int first = 0;
        Error unreadable;
        if (!ForEachName(
                path,
                [&](const char *name) {
                    first = SyncTree(path + '/' + name);
                    return first == 0;
                },
                &unreadable) &&
            first == 0) {
            return static_cast<int>(unreadable.code);
        }
        return first != 0 ? first : SyncFolder(path, SyncReach::Drive);
    }
    if (!S_ISREG(st.st_mode)) {
        return 0;
    }
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    int err = SyncFault(path);
    if (err == 0) {
        err = SyncRetrying(fd, false, SyncReach::Drive);
    }
    ::close(fd);
    return err;
}

AtomicFileWriter::AtomicFileWriter(const QString &path) : destination_(NameBytes(path)) {
    const qsizetype slash = destination_.lastIndexOf('/');
    temporary_ = destination_.left(slash + 1) + '.' + destination_.mid(slash + 1) +
                 QByteArrayLiteral(".XXXXXX");
    // Created owner-only: a manifest's records name every moved item.
    fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        failure_ = errno;
    }
}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temporary_.constData());
    }
}

void AtomicFileWriter::append(QByteArrayView bytes) {
    // Every step is checked: a write that fails on a full disk must never
    // put an empty or cut file in place of the previous one.
    if (failure_ == 0) {
        failure_ = WriteAll(fd_, bytes.data(), bytes.size());
        written_ += bytes.size();
    }
}

void AtomicFileWriter::writeBehind() {
    if (failure_ == 0 && written_ > behind_) {
        platform::StartWriteBack(fd_, behind_, written_ - behind_);
        behind_ = written_;
    }
}

bool AtomicFileWriter::commit(Error *error) {
    int err = failure_;
    if (err == 0) {
        err = SyncFile(fd_, temporary_);
    }
    if (fd_ >= 0 && ::close(fd_) != 0 && err == 0) {
        err = errno;
    }
    fd_ = -1;
    if (err == 0 && ::rename(temporary_.constData(), destination_.constData()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temporary_.constData());
        SetError(error, PosixError(err));
        return false;
    }
    // The rename reaches the disk only with the folder's own sync; until it
    // has, a power cut can bring back the previous file.
    if (const int folderErr = SyncFolder(ParentFolder(destination_))) {
        SetError(error, PosixError(folderErr));
        return false;
    }
    return true;
}

bool WriteFileAtomically(const QString &path, const QByteArray &bytes, Error *error) {
    AtomicFileWriter writer(path);
    writer.append(bytes);
    return writer.commit(error);
}

void RemoveStaleTemporaries(const QString &path) {
    const QByteArray destination = NameBytes(path);
    const qsizetype slash = destination.lastIndexOf('/');
    const QByteArray folder = slash > 0 ? destination.left(slash) : QByteArray("/");
    const QByteArray prefix = '.' + destination.mid(slash + 1) + '.';
    constexpr qsizetype Random = 6; // what mkostemp puts in place of XXXXXX
    ForEachName(
        folder,
        [&](const char *name) {
            const QByteArrayView entry(name);
            if (entry.size() == prefix.size() + Random && entry.startsWith(prefix)) {
                const QByteArray stale = folder + '/' + entry.toByteArray();
                struct stat st {};
                if (::lstat(stale.constData(), &st) == 0 && S_ISREG(st.st_mode)) {
                    ::unlink(stale.constData());
                }
            }
            return true;
        },
        nullptr);
}

int RemoveTree(const QByteArray &path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        return errno;
    }
    if (!S_ISDIR(st.st_mode)) {
        return ::unlink(path.constData()) == 0 ? 0 : errno;
    }
    int first = 0;
    Error unreadable;
    if (!ForEachName(
            path,
            [&](const char *name) {
                const int err = RemoveTree(path + '/' + name);
                first = first != 0 ? first : err;
                return true;
            },
            &unreadable)) {
        return static_cast<int>(unreadable.code);
    }
    if (::rmdir(path.constData()) != 0 && first == 0) {
        first = errno;
    }
    return first;
}
