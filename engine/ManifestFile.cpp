#include "engine/ManifestFile.h"

#include "engine/FileSystem.h"
#include "engine/FileTag.h"
#include "engine/Journal.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A file read through Qt that keeps the cause of a read that failed.
class CauseKeepingFile : public QFile {
public:
    int readError = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        errno = 0;
        const qint64 got = QFile::readData(data, maxSize);
        if (got < 0 && readError == 0) {
            readError = errno != 0 ? errno : EIO;
        }
        return got;
    }
};

enum class Opened {
    Missing,    // no entry at the path
    Unreadable, // an entry that could not be opened (*err says why)
    NotAFile,   // a folder or another kind of entry: no bytes to read
    Open,
};

Opened OpenForReading(const QString &path, CauseKeepingFile *file, int *err) {
    // Without waiting: a pipe in the file's place would block the start.
    const int fd = ::open(NameBytes(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *err = errno;
        // A link whose file is missing may point into a volume not yet there.
        return EntryExists(path) ? Opened::Unreadable : Opened::Missing;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *err = errno;
        ::close(fd);
        return Opened::Unreadable;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return Opened::NotAFile;
    }
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *err = EIO;
        return Opened::Unreadable;
    }
    return Opened::Open;
}

ManifestStore Unreadable(const QString &path, const Error &cause, ManifestReadReport *report) {
    report->unreadableFile = path;
    report->unreadable = cause;
    return {};
}

const char *const FingerprintTag = "user.kestrue.fingerprint";

// The records of the mirror when its bytes are those the fingerprint names.
std::optional<ManifestStore> ReadMatchingMirror(const QByteArray &expected,
                                                const QString &mirrorPath) {
    QFile mirror(mirrorPath);
    if (expected.isEmpty() || mirrorPath.isEmpty() || !mirror.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = mirror.readAll();
    if (mirror.error() != QFileDevice::NoError ||
        QCryptographicHash::hash(bytes, FingerprintAlgorithm).toHex() != expected) {
        return std::nullopt;
    }
    bool usable = false;
    ManifestStore records = ManifestStore::parse(bytes, &usable);
    if (!usable) {
        return std::nullopt;
    }
    return records;
}

QByteArray RecordKey(const ManifestElement &record) {
    QByteArray key = record.originalPathUtf8().toByteArray();
    key += '\0';
    key += record.storedPathUtf8();
    return key;
}

bool KnowsEveryRecord(const ManifestStore &known, const ManifestStore &other) {
    QSet<QByteArray> pairs;
    pairs.reserve(known.size());
    for (const ManifestElement &element : known) {
        if (element.isRecord()) {
            pairs.insert(RecordKey(element));
        }
    }
    return std::all_of(other.begin(), other.end(), [&pairs](const ManifestElement &element) {
        return !element.isRecord() || pairs.contains(RecordKey(element));
    });
}

} // namespace

ManifestStore ReadManifestOrMirror(const QString &path, const QString &mirrorPath,
                                   ManifestReadReport *report) {
    ManifestStore loaded;
    bool notAManifest = false;
    QByteArray fingerprint; // of the bytes the file was written with
    CauseKeepingFile file;
    int err = 0;
    switch (OpenForReading(path, &file, &err)) {
    case Opened::Missing:
        break;
    case Opened::Unreadable:
        return Unreadable(path, PosixError(err), report);
    case Opened::NotAFile:
        notAManifest = true;
        break;
    case Opened::Open: {
        bool usable = true;
        loaded = ManifestStore::parse(file, &usable);
        if (!usable && file.readError != 0) {
            return Unreadable(path, PosixError(file.readError), report);
        }
        notAManifest = !usable;
        if (notAManifest) {
            fingerprint = platform::FileTag(file.handle(), FingerprintTag);
        }
        break;
    }
    }
    // The journal is read by the replay, which finishes moves and leads to a
    // save; one that cannot be read now waits for a later start with the rest.
    const QString journal = JournalPathFor(path);
    CauseKeepingFile journalFile;
    if (OpenForReading(journal, &journalFile, &err) == Opened::Unreadable) {
        return Unreadable(journal, PosixError(err), report);
    }
    if (!notAManifest) {
        return loaded;
    }
    Error moveError;
    report->setAsideAs = SetAside(path, &moveError);
    if (report->setAsideAs.isEmpty()) {
        // Still in its place: no save may replace it.
        return Unreadable(path, moveError, report);
    }
    if (std::optional<ManifestStore> records = ReadMatchingMirror(fingerprint, mirrorPath)) {
        report->recoveredFrom = mirrorPath;
        report->recoveredRecords = records->size();
        return *std::move(records);
    }
    return {};
}

QString SetAside(const QString &path, Error *error) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = LastPathComponent(path);
    if (name.endsWith(QStringLiteral(".json"))) {
        name.chop(5);
    }
    const QString aside = UniquePath(JoinPath(
        DeletingLastPathComponent(path), QStringLiteral("%1.unreadable-%2.json").arg(name, stamp)));
    return MoveItem(path, aside, error) ? aside : QString();
}

void TagWithFingerprint(AtomicFileWriter &manifest, const QByteArray &digest) {
    // A file that cannot be tagged is saved all the same: without a tag no
    // mirror ever stands in for it.
    (void)platform::SetFileTag(manifest.handle(), FingerprintTag, digest.toHex());
}

bool ClearMirrorForSave(const QString &mirrorPath, const ManifestStore &known, QString *keptAs) {
    CauseKeepingFile file;
    int err = 0;
    switch (OpenForReading(mirrorPath, &file, &err)) {
    case Opened::Missing:
        return true;
    case Opened::Unreadable:
    case Opened::NotAFile:
        return false;
    case Opened::Open: {
        bool usable = true;
        const ManifestStore mirror = ManifestStore::parse(file, &usable);
        if (!usable && file.readError != 0) {
            return false;
        }
        if (usable && KnowsEveryRecord(known, mirror)) {
            return true;
        }
        break; // records of its own, or bytes that may have been some
    }
    }
    file.close();
    *keptAs = SetAside(mirrorPath, nullptr);
    return !keptAs->isEmpty();
}
