#include "engine/Manifest.h"

#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <unistd.h>
#include <utility>

namespace {

// The folder entry that the rename changed reaches the disk only with the
// folder's own sync.
void SyncFolderOf(const QByteArray &path) {
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray folder =
        slash < 0 ? QByteArrayLiteral(".") : path.left(qMax<qsizetype>(slash, 1));
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
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

namespace {

// A pretty-printing JSON writer in the layout QJsonDocument::Indented gives,
// at a fraction of its cost: the whole manifest is written after every run.
class Writer {
public:
    explicit Writer(QByteArray &out) : out_(out) {}

    void value(const QJsonValue &v, int depth) {
        switch (v.type()) {
        case QJsonValue::Null:
        case QJsonValue::Undefined:
            out_ += "null";
            break;
        case QJsonValue::Bool:
            out_ += v.toBool() ? "true" : "false";
            break;
        case QJsonValue::Double:
            number(v);
            break;
        case QJsonValue::String:
            string(v.toString());
            break;
        case QJsonValue::Array:
            array(v.toArray(), depth);
            break;
        case QJsonValue::Object:
            object(v.toObject(), depth);
            break;
        }
    }

    void array(const QJsonArray &a, int depth) {
        out_ += "[\n";
        for (qsizetype i = 0; i < a.size(); ++i) {
            indent(depth + 1);
            value(a.at(i), depth + 1);
            out_ += i + 1 < a.size() ? ",\n" : "\n";
        }
        indent(depth);
        out_ += ']';
    }

    void object(const QJsonObject &o, int depth) {
        out_ += "{\n";
        qsizetype left = o.size();
        for (auto it = o.constBegin(); it != o.constEnd(); ++it) {
            indent(depth + 1);
            string(it.key());
            out_ += ": ";
            value(it.value(), depth + 1);
            out_ += --left > 0 ? ",\n" : "\n";
        }
        indent(depth);
        out_ += '}';
    }

private:
    void indent(int depth) { out_.append(qsizetype{4} * depth, ' '); }

    void number(const QJsonValue &v) {
        const double d = v.toDouble();
        constexpr qint64 NotInteger = std::numeric_limits<qint64>::min();
        const qint64 i = v.toInteger(NotInteger);
        if (i != NotInteger || d == static_cast<double>(NotInteger)) {
            out_ += QByteArray::number(i);
        } else if (std::isfinite(d)) {
            out_ += QByteArray::number(d, 'g', QLocale::FloatingPointShortest);
        } else {
            out_ += "null"; // JSON has no infinity
        }
    }

    void string(const QString &text) {
        out_ += '"';
        const char16_t *data = reinterpret_cast<const char16_t *>(text.utf16());
        const qsizetype size = text.size();
        const bool plain = std::none_of(data, data + size, [](char16_t c) {
            return c < 0x20 || c == u'"' || c == u'\\' || QChar::isSurrogate(c);
        });
        if (plain) { // most paths: converted in one go
            out_ += text.toUtf8();
            out_ += '"';
            return;
        }
        for (qsizetype i = 0; i < size; ++i) {
            const char16_t c = data[i];
            if (c < 0x80) {
                ascii(static_cast<char>(c));
            } else if (QChar::isHighSurrogate(c) && i + 1 < size &&
                       QChar::isLowSurrogate(data[i + 1])) {
                utf8(QChar::surrogateToUcs4(c, data[i + 1]));
                ++i;
            } else if (QChar::isSurrogate(c)) {
                escape(c); // a lone half has no UTF-8 form
            } else {
                utf8(c);
            }
        }
        out_ += '"';
    }

    void ascii(char c) {
        switch (c) {
        case '"':
            out_ += "\\\"";
            return;
        case '\\':
            out_ += "\\\\";
            return;
        case '\b':
            out_ += "\\b";
            return;
        case '\f':
            out_ += "\\f";
            return;
        case '\n':
            out_ += "\\n";
            return;
        case '\r':
            out_ += "\\r";
            return;
        case '\t':
            out_ += "\\t";
            return;
        default:
            break;
        }
        if (static_cast<unsigned char>(c) < 0x20) {
            escape(static_cast<char16_t>(c));
        } else {
            out_ += c;
        }
    }

    void escape(char16_t c) {
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
        out_ += escaped;
    }

    void utf8(char32_t c) {
        if (c < 0x800) {
            out_ += static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            out_ += static_cast<char>(0xE0 | (c >> 12));
            out_ += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            out_ += static_cast<char>(0xF0 | (c >> 18));
            out_ += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out_ += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        out_ += static_cast<char>(0x80 | (c & 0x3F));
    }

    QByteArray &out_;
};

} // namespace

QByteArray EncodeManifest(const QJsonArray &manifest) {
    QByteArray out;
    out.reserve(64 + manifest.size() * 256);
    Writer(out).array(manifest, 0);
    out += '\n';
    return out;
}

QJsonObject RestoreRecord(const QString &originalPath, const QString &storedPath, qint64 movedAt) {
    // Filling in a copy of the record's shape costs less than inserting
    // its members one by one.
    static const QJsonObject shape{{record_key::MovedAt, 0},
                                   {record_key::Name, QString()},
                                   {record_key::OriginalPath, QString()},
                                   {record_key::StoredPath, QString()}};
    QJsonObject record = shape;
    record[record_key::MovedAt] = movedAt;
    record[record_key::Name] = LastPathComponent(originalPath);
    record[record_key::OriginalPath] = originalPath;
    record[record_key::StoredPath] = storedPath;
    return record;
}

bool WriteFileAtomically(const QString &path, const QByteArray &bytes, Error *error) {
    // Every step is checked: a write or flush that fails on a full disk must
    // never put an empty or cut file in place of the previous one.
    const QByteArray destination = QFile::encodeName(path);
    const qsizetype slash = destination.lastIndexOf('/');
    QByteArray temporary = destination.left(slash + 1) + '.' + destination.mid(slash + 1) +
                           QByteArrayLiteral(".XXXXXX");
    // Created owner-only: the records name every moved item.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        SetError(error, PosixError(errno));
        return false;
    }
    int err = WriteAll(fd, bytes.constData(), bytes.size());
    if (err == 0 && ::fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(temporary.constData(), destination.constData()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temporary.constData());
        SetError(error, PosixError(err));
        return false;
    }
    SyncFolderOf(destination);
    return true;
}

QJsonArray ReadManifestFile(const QString &path, bool *journalReplayed, QStringList *notices) {
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
    const std::vector<JournalMove> moves = ReadJournal(JournalPathFor(path), journalReplayed);
    QSet<QPair<QString, QString>> recorded;
    if (!moves.empty()) {
        for (const QJsonValue value : std::as_const(loaded)) {
            const QJsonObject record = value.toObject();
            recorded.insert({record.value(record_key::OriginalPath).toString(),
                             record.value(record_key::StoredPath).toString()});
        }
    }
    for (const JournalMove &move : moves) {
        const QString leftOver = FinishInterruptedMove(move);
        if (!leftOver.isEmpty()) {
            notices->append(
                QStringLiteral("整理 %1 时被中断，桌面上剩余的 %2 已保留")
                    .arg(VisibleName(LastPathComponent(move.from)), VisibleName(leftOver)));
        }
        if (!MoveCompleted(move) || recorded.contains({move.from, move.to})) {
            continue;
        }
        recorded.insert({move.from, move.to});
        loaded.append(RestoreRecord(move.from, move.to,
                                    move.done ? move.movedAt : QDateTime::currentSecsSinceEpoch()));
    }
    return loaded;
}
