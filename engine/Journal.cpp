#include "engine/Journal.h"

#include "engine/FileSystem.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString OpKey = QStringLiteral("op");
const QString FromKey = QStringLiteral("from");
const QString ToKey = QStringLiteral("to");
const QString MovedAtKey = QStringLiteral("movedAt");
const QString DoneOp = QStringLiteral("done");

// A JSON string literal, escaped as RFC 8259 asks; runs that need no
// escape are copied whole.
void AppendJsonString(QByteArray &out, const QString &text) {
    const QByteArray utf8 = text.toUtf8();
    out += '"';
    qsizetype run = 0;
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8.at(i));
        if (byte >= 0x20 && byte != '"' && byte != '\\') {
            continue;
        }
        out.append(utf8.constData() + run, i - run);
        run = i + 1;
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        }
    }
    out.append(utf8.constData() + run, utf8.size() - run);
    out += '"';
}

QByteArray Line(const char *op, const QString &from, const QString &to, const qint64 *movedAt) {
    QByteArray line;
    line.reserve(64 + 3 * (from.size() + to.size()));
    line += "{\"op\":\"";
    line += op;
    line += "\",\"from\":";
    AppendJsonString(line, from);
    line += ",\"to\":";
    AppendJsonString(line, to);
    if (movedAt != nullptr) {
        line += ",\"movedAt\":";
        line += QByteArray::number(*movedAt);
    }
    line += "}\n";
    return line;
}

} // namespace

QString JournalPathFor(const QString &manifestPath) {
    return JoinPath(DeletingLastPathComponent(manifestPath),
                    QStringLiteral("restore-manifest.journal"));
}

MoveJournal::MoveJournal(const QString &path)
    : fd_(::open(QFile::encodeName(path).constData(),
                 O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
    failure_ = fd_ < 0 ? errno : 0;
}

MoveJournal::~MoveJournal() {
    flush(nullptr);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void MoveJournal::begin(const QString &from, const QString &to) {
    pending_ += Line("begin", from, to, nullptr);
}

void MoveJournal::done(const QString &from, const QString &to, qint64 movedAt) {
    pending_ += Line("done", from, to, &movedAt);
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
    pending_.clear();
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
