#include "engine/Manifest.h"

#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// QSaveFile syncs the file, not the folder entry that the rename changed.
void SyncFolderOf(const QString &path) {
    const int fd = ::open(QFile::encodeName(DeletingLastPathComponent(path)).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

Error SaveError(const QSaveFile &file, int errnum) {
    if (errnum != 0) {
        return PosixError(errnum);
    }
    return Error{PosixErrorDomain, file.error(), file.errorString()};
}

// Keeps a manifest file that holds something but cannot be used: moved aside
// under a name that replaces nothing, before any save can overwrite it.
void SetAside(const QString &manifestPath) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString aside =
        JoinPath(DeletingLastPathComponent(manifestPath),
                 QStringLiteral("restore-manifest.unreadable-%1.json").arg(stamp));
    MoveItem(manifestPath, UniquePath(aside), nullptr);
}

} // namespace

QJsonArray ParseManifest(const QByteArray &bytes) {
    return ParseManifest(bytes, nullptr);
}

QJsonArray ParseManifest(const QByteArray &bytes, bool *usable) {
    if (usable != nullptr) {
        *usable = true;
    }
    if (bytes.isEmpty()) {
        return {};
    }
    QJsonParseError status{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &status);
    if (status.error != QJsonParseError::NoError || !document.isArray()) {
        if (usable != nullptr) {
            *usable = false;
        }
        return {};
    }
    return document.array();
}

QByteArray EncodeManifest(const QJsonArray &manifest) {
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

QJsonObject RestoreRecord(const QString &originalPath, const QString &storedPath, qint64 movedAt) {
    return QJsonObject{
        {record_key::OriginalPath, originalPath},
        {record_key::StoredPath, storedPath},
        {record_key::Name, LastPathComponent(originalPath)},
        {record_key::MovedAt, movedAt},
    };
}

bool WriteFileAtomically(const QString &path, const QByteArray &bytes, Error *error) {
    QSaveFile file(path);
    errno = 0;
    if (!file.open(QIODevice::WriteOnly)) {
        SetError(error, SaveError(file, errno));
        return false;
    }
    // The records name every moved item: keep them private to the user.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        SetError(error, SaveError(file, errno));
        return false;
    }
    SyncFolderOf(path);
    return true;
}

void OrganizerAppDelegate::loadManifest() {
    const QString path = manifestPath();
    QFile file(path);
    QByteArray bytes;
    bool readable = true;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
        readable = file.error() == QFileDevice::NoError;
        file.close();
    } else {
        readable = !EntryExists(path);
    }
    bool parsed = true;
    QJsonArray loaded = ParseManifest(bytes, &parsed);
    if (!readable || !parsed) {
        SetAside(path);
    }

    // Moves of a run that ended before its manifest was saved.
    bool journalExists = false;
    const std::vector<JournalMove> moves = ReadJournal(JournalPathFor(path), &journalExists);
    QSet<QPair<QString, QString>> recorded;
    if (!moves.empty()) {
        for (const QJsonValue &value : loaded) {
            const QJsonObject record = value.toObject();
            recorded.insert({record.value(record_key::OriginalPath).toString(),
                             record.value(record_key::StoredPath).toString()});
        }
    }
    for (const JournalMove &move : moves) {
        if (!MoveCompleted(move) || recorded.contains({move.from, move.to})) {
            continue;
        }
        recorded.insert({move.from, move.to});
        loaded.append(RestoreRecord(move.from, move.to,
                                    move.done ? move.movedAt : QDateTime::currentSecsSinceEpoch()));
    }
    setManifest(std::move(loaded));
    if (journalExists) {
        saveManifest();
    }
}

void OrganizerAppDelegate::saveManifest() {
    const QByteArray bytes = EncodeManifest(manifest());
    const QString path = manifestPath();
    Error error;
    if (WriteFileAtomically(path, bytes, &error)) {
        // Every journalled move is in the saved records now.
        ::unlink(QFile::encodeName(JournalPathFor(path)).constData());
    } else {
        appendLog(QStringLiteral("保存还原记录失败：%1").arg(error.description));
    }
    const QString target = ResolveTargetPath(currentTargetPath());
    if (!target.isEmpty()) {
        WriteFileAtomically(JoinPath(target, MirrorFileName), bytes, nullptr);
    }
    updateSummary();
}
