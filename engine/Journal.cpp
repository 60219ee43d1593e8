#include "engine/Journal.h"

#include "engine/FileSystem.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString OpKey = QStringLiteral("op");
const QString FromKey = QStringLiteral("from");
const QString ToKey = QStringLiteral("to");
const QString MovedAtKey = QStringLiteral("movedAt");
const QString BeginOp = QStringLiteral("begin");
const QString DoneOp = QStringLiteral("done");

QByteArray Line(const QJsonObject &object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QString JournalPathFor(const QString &manifestPath) {
    return JoinPath(DeletingLastPathComponent(manifestPath),
                    QStringLiteral("restore-manifest.journal"));
}

MoveJournal::MoveJournal(const QString &path)
    : fd_(::open(QFile::encodeName(path).constData(),
                 O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {}

MoveJournal::~MoveJournal() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void MoveJournal::begin(const QString &from, const QString &to) {
    append(Line({{OpKey, BeginOp}, {FromKey, from}, {ToKey, to}}));
}

void MoveJournal::done(const QString &from, const QString &to, qint64 movedAt) {
    append(Line({{OpKey, DoneOp}, {FromKey, from}, {ToKey, to}, {MovedAtKey, movedAt}}));
}

void MoveJournal::append(const QByteArray &line) {
    if (fd_ < 0) {
        return;
    }
    // One write per line: O_APPEND keeps it whole unless the process dies in it.
    const char *data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t put = ::write(fd_, data, static_cast<size_t>(left));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += put;
        left -= put;
    }
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
            moves.push_back(JournalMove{from, to, false, 0});
        }
        if (object.value(OpKey).toString() == DoneOp) {
            JournalMove &move = moves[*found];
            move.done = true;
            move.movedAt = object.value(MovedAtKey).toInteger();
        }
    }
    return moves;
}

bool MoveCompleted(const JournalMove &move) {
    return move.done || (EntryExists(move.to) && !EntryExists(move.from));
}
