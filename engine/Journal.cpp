#include "engine/Journal.h"

#include "engine/FileSystem.h"
#include "engine/JsonText.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString OpKey = QStringLiteral("op");
const QString FromKey = QStringLiteral("from");
const QString ToKey = QStringLiteral("to");
const QString MovedAtKey = QStringLiteral("movedAt");
const QString TemporaryKey = QStringLiteral("temp");
const QString DoneOp = QStringLiteral("done");
const QString CopyOp = QStringLiteral("copy");
const QString PlacedOp = QStringLiteral("placed");
const QString RestoreCopyOp = QStringLiteral("restoreCopy");
const QString RestorePlacedOp = QStringLiteral("restorePlaced");

// One line, appended to the lines held for the next write, written in place
// into room made for its longest escapes.
void AppendLine(QByteArray &out, const char *op, QByteArrayView from, QByteArrayView to,
                const qint64 *movedAt, QByteArrayView temporary = {}) {
    const auto opSize = static_cast<qsizetype>(std::strlen(op));
    const qsizetype at = out.size();
    out.resize(at + 80 + opSize + JsonStringRoom(from.size()) + JsonStringRoom(to.size()) +
               JsonStringRoom(temporary.size()));
    char *end = out.data() + at;
    end = WriteText(end, "{\"op\":\"");
    std::memcpy(end, op, static_cast<size_t>(opSize));
    end += opSize;
    end = WriteText(end, "\",\"from\":");
    end = WriteJsonString(end, from);
    end = WriteText(end, ",\"to\":");
    end = WriteJsonString(end, to);
    if (movedAt != nullptr) {
        end = WriteText(end, ",\"movedAt\":");
        end = std::to_chars(end, end + 24, *movedAt).ptr;
    }
    if (!temporary.isNull()) {
        end = WriteText(end, ",\"temp\":");
        end = WriteJsonString(end, temporary);
    }
    end = WriteText(end, "}\n");
    out.truncate(end - out.constData());
}

} // namespace

QString JournalPathFor(const QString &manifestPath) {
    return JoinPath(DeletingLastPathComponent(manifestPath),
                    QStringLiteral("restore-manifest.journal"));
}

MoveJournal::MoveJournal(const QString &path) : path_(QFile::encodeName(path)) {
    constexpr int Flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    fd_ = ::open(path_.constData(), Flags | O_EXCL, 0600);
    created_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) {
        fd_ = ::open(path_.constData(), Flags, 0600);
    }
    failure_ = fd_ < 0 ? errno : 0;
}

MoveJournal::~MoveJournal() {
    flush(nullptr);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void MoveJournal::begin(const QByteArray &from, const QByteArray &to) {
    AppendLine(pending_, "begin", from, to, nullptr);
}

void MoveJournal::copying(const QByteArray &from, const QByteArray &to,
                          const QByteArray &temporary) {
    // As text, like every path in the journal.
    const QByteArray path = QFile::decodeName(temporary).toUtf8();
    AppendLine(pending_, "copy", from, to, nullptr, path);
}

void MoveJournal::placed(const QByteArray &from, const QByteArray &to) {
    AppendLine(pending_, "placed", from, to, nullptr);
}

void MoveJournal::restoreCopying(const QByteArray &from, const QByteArray &to,
                                 const QByteArray &temporary) {
    const QByteArray path = QFile::decodeName(temporary).toUtf8();
    AppendLine(pending_, "restoreCopy", from, to, nullptr, path);
}

void MoveJournal::restorePlaced(const QByteArray &from, const QByteArray &to) {
    AppendLine(pending_, "restorePlaced", from, to, nullptr);
}

void MoveJournal::done(const QByteArray &from, const QByteArray &to, qint64 movedAt) {
    AppendLine(pending_, "done", from, to, &movedAt);
}

bool MoveJournal::flush(Error *error) {
    if (pending_.isEmpty()) {
        return true;
    }
    if (failure_ == 0) {
        // One write for the batch: O_APPEND keeps it whole unless the
        // process dies in it or the disk fills.
        failure_ = WriteAll(fd_, pending_.constData(), pending_.size());
    }
    pending_.truncate(0); // its room is kept for the next batch
    if (failure_ != 0) {
        SetError(error, PosixError(failure_));
        return false;
    }
    return true;
}

bool MoveJournal::sync(Error *error) {
    if (!flush(error)) {
        return false;
    }
    if (failure_ == 0 && fd_ >= 0) {
        failure_ = SyncData(fd_, path_);
    }
    if (failure_ == 0 && created_) {
        // A new file's name is on the disk only with its folder's sync.
        const qsizetype slash = path_.lastIndexOf('/');
        failure_ = SyncFolder(slash > 0    ? path_.left(slash)
                              : slash == 0 ? QByteArrayLiteral("/")
                                           : QByteArrayLiteral("."));
        created_ = failure_ != 0;
    }
    if (failure_ != 0) {
        SetError(error, PosixError(failure_));
        return false;
    }
    return true;
}

std::vector<JournalMove> ReadJournal(const QString &path, bool *exists) {
    std::vector<JournalMove> moves;
    QFile file(path);
    *exists = file.exists();
    if (!file.open(QIODevice::ReadOnly)) {
        return moves;
    }
    QHash<QPair<QString, QString>, size_t> index;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        const QString from = object.value(FromKey).toString();
        const QString to = object.value(ToKey).toString();
        if (from.isEmpty() || to.isEmpty()) {
            continue;
        }
        const QPair<QString, QString> key(from, to);
        auto found = index.constFind(key);
        if (found == index.constEnd()) {
            found = index.insert(key, moves.size());
            moves.push_back(JournalMove{from, to, false, 0, QString(), false, false});
        }
        JournalMove &move = moves[*found];
        const QString op = object.value(OpKey).toString();
        if (op == DoneOp) {
            move.done = true;
            move.movedAt = object.value(MovedAtKey).toInteger();
        } else if (op == PlacedOp || op == RestorePlacedOp) {
            move.placed = true;
        } else if (op == CopyOp || op == RestoreCopyOp) {
            move.temporary = object.value(TemporaryKey).toString();
        }
        move.restoring = move.restoring || op == RestoreCopyOp || op == RestorePlacedOp;
    }
    return moves;
}

bool MoveCompleted(const JournalMove &move) {
    // A done line is not proof by itself: a file system may keep the line
    // through a power cut and lose the rename it reports. The copy behind a
    // placed line was on the disk before the line was written.
    return move.placed || (EntryExists(move.to) && (move.done || !EntryExists(move.from)));
}

QString FinishInterruptedMove(const JournalMove &move) {
    // Only ever a name this program made, beside the destination.
    const bool ownTemporary =
        !move.temporary.isEmpty() &&
        LastPathComponent(move.temporary).startsWith(QLatin1String(TemporaryPrefix)) &&
        DeletingLastPathComponent(move.temporary) == DeletingLastPathComponent(move.to);
    if (ownTemporary) {
        RemoveTree(QFile::encodeName(move.temporary));
    }
    if (!move.placed || !EntryExists(move.from)) {
        return {};
    }
    return RemoveMovedSource(QFile::encodeName(move.from), QFile::encodeName(move.to)) ? QString()
                                                                                       : move.from;
}
