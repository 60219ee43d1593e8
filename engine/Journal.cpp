#include "engine/Journal.h"

#include "engine/FileSystem.h"
#include "engine/JsonText.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString OpKey = QStringLiteral("op");
const QString FromKey = QStringLiteral("from");
const QString ToKey = QStringLiteral("to");
const QString MovedAtKey = QStringLiteral("movedAt");
const QString TemporaryKey = QStringLiteral("temp");
const QString AtKey = QStringLiteral("at");
const QString BeginOp = QStringLiteral("begin");
const QString DoneOp = QStringLiteral("done");
const QString CopyOp = QStringLiteral("copy");
const QString PlacedOp = QStringLiteral("placed");
const QString RestoreCopyOp = QStringLiteral("restoreCopy");
const QString RestorePlacedOp = QStringLiteral("restorePlaced");
const QString BackOp = QStringLiteral("back");
const QString RunOp = QStringLiteral("run");

// A 64-bit hash of the line, eight bytes at a time: enough to tell a line
// from one cut short or overwritten, at a small part of the line's cost.
quint64 Checksum(QByteArrayView text) {
    constexpr quint64 Multiplier = 0x9E3779B97F4A7C15ULL;
    quint64 hash = 0xcbf29ce484222325ULL ^ static_cast<quint64>(text.size());
    const auto mix = [&hash](quint64 word) {
        hash = (hash ^ word) * Multiplier;
        hash ^= hash >> 29;
    };
    const char *data = text.data();
    qsizetype i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        quint64 word = 0;
        std::memcpy(&word, data + i, sizeof word);
        mix(word);
    }
    quint64 tail = 0;
    std::memcpy(&tail, data + i, static_cast<size_t>(text.size() - i));
    mix(tail);
    return hash;
}

constexpr qsizetype ChecksumRoom = 1 + 16 + 1; // the tab, the digits, the line break

char *WriteChecksum(char *out, const char *lineStart) {
    quint64 hash = Checksum(QByteArrayView(lineStart, out - lineStart));
    *out++ = '\t';
    for (int shift = 60; shift >= 0; shift -= 4) {
        *out++ = "0123456789abcdef"[(hash >> shift) & 0xf];
    }
    *out++ = '\n';
    return out;
}

// The object of a line whose checksum holds; a line without one was written
// by an earlier version, which kept none. Null for a line to pass over.
QByteArrayView CheckedObject(QByteArrayView line) {
    const qsizetype tab = line.lastIndexOf('\t');
    if (tab < 0) {
        return line;
    }
    const QByteArrayView object = line.first(tab);
    bool ok = false;
    const quint64 stated = line.sliced(tab + 1).toByteArray().toULongLong(&ok, 16);
    if (!ok || line.size() - tab - 1 != 16 || stated != Checksum(object)) {
        return {};
    }
    return object;
}

} // namespace

QString JournalPathFor(const QString &manifestPath) {
    return JoinPath(DeletingLastPathComponent(manifestPath),
                    QStringLiteral("restore-manifest.journal"));
}

MoveJournal::MoveJournal(const QString &path) : path_(NameBytes(path)) {
    constexpr int Flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW;
    fd_ = ::open(path_.constData(), Flags | O_EXCL, 0600);
    created_ = fd_ >= 0;
    if (fd_ < 0 && errno == EEXIST) {
        fd_ = ::open(path_.constData(), Flags, 0600);
    }
    failure_ = fd_ < 0 ? errno : 0;
    struct stat st {};
    if (fd_ >= 0 && !created_ && ::fstat(fd_, &st) == 0 && st.st_size > 0) {
        written_ = st.st_size;
        // A line an earlier run left cut short is ended, so the next one is
        // not read as part of it.
        char last = '\n';
        const int reader = ::open(path_.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (reader >= 0) {
            (void)::pread(reader, &last, 1, st.st_size - 1);
            ::close(reader);
        }
        if (last != '\n') {
            pending_ += '\n';
        }
    }
}

MoveJournal::~MoveJournal() {
    flush(nullptr);
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

MoveJournal::Mark MoveJournal::append(const char *op, Mark move, QByteArrayView from,
                                      QByteArrayView to, const qint64 *movedAt,
                                      QByteArrayView temporary) {
    if (!runOpened_) {
        runOpened_ = true;
        appendLine("run", -1, {}, {}, nullptr, {});
    }
    return appendLine(op, move, from, to, movedAt, temporary);
}

MoveJournal::Mark MoveJournal::appendLine(const char *op, Mark move, QByteArrayView from,
                                          QByteArrayView to, const qint64 *movedAt,
                                          QByteArrayView temporary) {
    const auto opSize = static_cast<qsizetype>(std::strlen(op));
    const qsizetype at = pending_.size();
    const Mark mark = written_ + at;
    pending_.resize(at + 96 + opSize + JsonStringRoom(from.size()) + JsonStringRoom(to.size()) +
                    JsonStringRoom(temporary.size()) + ChecksumRoom);
    char *const start = pending_.data() + at;
    char *end = start;
    end = WriteText(end, "{\"op\":\"");
    std::memcpy(end, op, static_cast<size_t>(opSize));
    end += opSize;
    *end++ = '"';
    if (move >= 0) {
        end = WriteText(end, ",\"at\":");
        end = std::to_chars(end, end + 24, move).ptr;
    }
    if (!from.isNull()) {
        end = WriteText(end, ",\"from\":");
        end = WriteJsonString(end, from);
        end = WriteText(end, ",\"to\":");
        end = WriteJsonString(end, to);
    }
    if (movedAt != nullptr) {
        end = WriteText(end, ",\"movedAt\":");
        end = std::to_chars(end, end + 24, *movedAt).ptr;
    }
    if (!temporary.isNull()) {
        end = WriteText(end, ",\"temp\":");
        end = WriteJsonString(end, temporary);
    }
    *end++ = '}';
    end = WriteChecksum(end, start);
    pending_.truncate(end - pending_.constData());
    return mark;
}

MoveJournal::Mark MoveJournal::begin(const QByteArray &from, const QByteArray &to) {
    return append("begin", -1, from, to, nullptr, {});
}

void MoveJournal::copying(Mark move, const QByteArray &temporary) {
    // As text, like every path in the journal.
    append("copy", move, {}, {}, nullptr, NameText(temporary).toUtf8());
}

void MoveJournal::placed(Mark move) {
    append("placed", move, {}, {}, nullptr, {});
}

void MoveJournal::done(Mark move, qint64 movedAt) {
    append("done", move, {}, {}, &movedAt, {});
}

MoveJournal::Mark MoveJournal::restoreCopying(const QByteArray &from, const QByteArray &to,
                                              const QByteArray &temporary) {
    return append("restoreCopy", -1, from, to, nullptr, NameText(temporary).toUtf8());
}

void MoveJournal::restorePlaced(Mark move) {
    append("restorePlaced", move, {}, {}, nullptr, {});
}

void MoveJournal::back(const QByteArray &original, const QByteArray &stored) {
    append("back", -1, original, stored, nullptr, {});
}

bool MoveJournal::flush(Error *error) {
    if (pending_.isEmpty()) {
        return true;
    }
    if (failure_ == 0) {
        // One write for the batch: O_APPEND keeps it whole unless the
        // process dies in it or the disk fills.
        failure_ = WriteAll(fd_, pending_.constData(), pending_.size());
        written_ += pending_.size();
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
        failure_ = SyncFolder(ParentFolder(path_));
        created_ = failure_ != 0;
    }
    if (failure_ != 0) {
        SetError(error, PosixError(failure_));
        return false;
    }
    return true;
}

namespace {

// The moves of a journal as its lines are read, one line at a time.
class JournalReader {
public:
    void read(qint64 mark, const QJsonObject &line);
    // The moves, each once, without those begun again under another name.
    std::vector<JournalMove> moves();

private:
    bool findMove(qint64 mark, const QJsonObject &line, const QString &op, size_t *index);
    size_t moveByPaths(qint64 mark, const QString &from, const QString &to, const QString &op);

    std::vector<JournalMove> moves_;
    std::vector<char> replaced_;
    // The run's moves by the mark of the line that began them, by their two
    // paths (as an earlier version named them in every line), and by where
    // they came from, for a move begun again under another name. A run's
    // opening line forgets them all: no line pairs with an earlier run's.
    QHash<qint64, size_t> byMark_;
    QHash<QPair<QString, QString>, size_t> byPaths_;
    QHash<QString, size_t> bySource_;
};

void JournalReader::read(qint64 mark, const QJsonObject &line) {
    const QString op = line.value(OpKey).toString();
    if (op == RunOp) {
        byMark_.clear();
        byPaths_.clear();
        bySource_.clear();
        return;
    }
    if (op == BackOp) {
        const QString from = line.value(FromKey).toString();
        const QString to = line.value(ToKey).toString();
        if (!from.isEmpty() && !to.isEmpty()) {
            moves_.push_back(JournalMove{from, to, false, 0, QString(), false, false, true});
            replaced_.push_back(0);
        }
        return;
    }
    size_t index = 0;
    if (!findMove(mark, line, op, &index)) {
        return;
    }
    JournalMove &move = moves_[index];
    if (op == DoneOp) {
        move.done = true;
        move.movedAt = line.value(MovedAtKey).toInteger();
    } else if (op == PlacedOp || op == RestorePlacedOp) {
        move.placed = true;
    } else if (op == CopyOp || op == RestoreCopyOp) {
        move.temporary = line.value(TemporaryKey).toString();
    }
    move.restoring = move.restoring || op == RestoreCopyOp || op == RestorePlacedOp;
    replaced_[index] = replaced_[index] != 0 && !move.done && !move.placed ? 1 : 0;
}

// The move a line is about: the one begun at the mark it refers to, or, for
// a line that names its paths, the one with those paths, new at its first
// line. False when the line is to be passed over.
bool JournalReader::findMove(qint64 mark, const QJsonObject &line, const QString &op,
                             size_t *index) {
    if (line.contains(AtKey)) {
        const auto found = byMark_.constFind(line.value(AtKey).toInteger(-1));
        if (found == byMark_.constEnd()) {
            return false; // the line it refers to was lost
        }
        *index = *found;
        return true;
    }
    const QString from = line.value(FromKey).toString();
    const QString to = line.value(ToKey).toString();
    if (from.isEmpty() || to.isEmpty()) {
        return false;
    }
    *index = moveByPaths(mark, from, to, op);
    return true;
}

size_t JournalReader::moveByPaths(qint64 mark, const QString &from, const QString &to,
                                  const QString &op) {
    const QPair<QString, QString> key(from, to);
    auto found = byPaths_.constFind(key);
    if (found == byPaths_.constEnd()) {
        found = byPaths_.insert(key, moves_.size());
        moves_.push_back(JournalMove{from, to, false, 0, QString(), false, false, false});
        replaced_.push_back(0);
    }
    const size_t index = *found;
    byMark_.insert(mark, index);
    if (op == BeginOp) {
        // Begun again from the same place under another name: the earlier
        // name was found taken, so that move never happened.
        const auto earlier = bySource_.constFind(from);
        if (earlier != bySource_.constEnd() && *earlier != index && !moves_[*earlier].done &&
            !moves_[*earlier].placed) {
            replaced_[*earlier] = 1;
        }
        bySource_.insert(from, index);
    }
    return index;
}

std::vector<JournalMove> JournalReader::moves() {
    std::vector<JournalMove> kept;
    kept.reserve(moves_.size());
    for (size_t i = 0; i < moves_.size(); ++i) {
        if (replaced_[i] == 0) {
            kept.push_back(std::move(moves_[i]));
        }
    }
    return kept;
}

} // namespace

std::vector<JournalMove> ReadJournal(const QString &path, bool *exists) {
    QFile file(path);
    *exists = file.exists();
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray text = file.readAll();
    JournalReader reader;
    qsizetype lineStart = 0;
    while (lineStart < text.size()) {
        qsizetype lineEnd = text.indexOf('\n', lineStart);
        if (lineEnd < 0) {
            lineEnd = text.size();
        }
        const qint64 mark = lineStart;
        const QByteArrayView object =
            CheckedObject(QByteArrayView(text).sliced(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (!object.isEmpty()) {
            reader.read(mark, QJsonDocument::fromJson(object.toByteArray()).object());
        }
    }
    return reader.moves();
}
