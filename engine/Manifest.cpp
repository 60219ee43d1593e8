#include "engine/Manifest.h"

#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/JsonText.h"
#include "engine/LogText.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <simdjson.h>
#include <string_view>
#include <utility>

namespace {

// Keeps a manifest file that holds something but cannot be used: moved aside
// under a name that replaces nothing, before any save can overwrite it.
void SetAside(const QString &manifestPath) {
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString aside =
        JoinPath(DeletingLastPathComponent(manifestPath),
                 QStringLiteral("restore-manifest.unreadable-%1.json").arg(stamp));
    MoveItem(manifestPath, UniquePath(aside), nullptr);
}

constexpr std::string_view OriginalPathKey = "originalPath";
constexpr std::string_view StoredPathKey = "storedPath";
constexpr std::string_view NameKey = "name";
constexpr std::string_view MovedAtKey = "movedAt";

QByteArrayView LastComponent(QByteArrayView path) {
    qsizetype end = path.size();
    while (end > 1 && path[end - 1] == '/') {
        --end;
    }
    const QByteArrayView trimmed = path.first(end);
    if (trimmed == "/") {
        return trimmed;
    }
    return trimmed.sliced(trimmed.lastIndexOf('/') + 1);
}

QByteArrayView View(std::string_view text) {
    return {text.data(), static_cast<qsizetype>(text.size())};
}

// Walks the source text beside simdjson's tree, which does not keep it, to
// find the text of the elements and members held as JSON. Only moved on
// when such an element comes, so a file of plain records is never walked.
class SourceCursor {
public:
    // Only whitespace comes before the array's bracket.
    explicit SourceCursor(QByteArrayView text) : text_(text), pos_(text.indexOf('[') + 1) {}

    // The text of the index-th element; indexes only grow.
    QByteArrayView element(qsizetype index) {
        while (index_ < index) {
            TakeJsonValue(text_, &pos_);
            skipComma();
            ++index_;
        }
        qsizetype end = pos_;
        return TakeJsonValue(text_, &end);
    }

    // The text of the index-th element's members, each from its key to the
    // end of its value.
    std::vector<QByteArrayView> members(qsizetype index) {
        const QByteArrayView object = element(index);
        std::vector<QByteArrayView> found;
        qsizetype pos = 1;
        for (;;) {
            const QByteArrayView key = TakeJsonValue(object, &pos);
            if (key.isEmpty() || key[0] != '"') {
                return found;
            }
            pos = object.indexOf(':', pos) + 1;
            const QByteArrayView value = TakeJsonValue(object, &pos);
            const qsizetype start = key.data() - object.data();
            found.push_back(object.sliced(start, value.data() + value.size() - key.data()));
            while (object[pos] != ',' && object[pos] != '}') {
                ++pos;
            }
            ++pos;
        }
    }

private:
    void skipComma() {
        while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != ']') {
            ++pos_;
        }
        ++pos_;
    }

    QByteArrayView text_;
    qsizetype pos_ = 0;
    qsizetype index_ = 0;
};

} // namespace

// Builds elements from parsed JSON.
struct ElementAccess {
    static ManifestElement foreign(QByteArrayView text) {
        ManifestElement element;
        element.json_ = MinifiedJson(text);
        return element;
    }

    // What an object holds of a record's members.
    struct Shape {
        bool record = false; // string originalPath and storedPath, none of the four twice
        std::string_view original;
        std::string_view stored;
        std::string_view name;
        int64_t movedAt = 0;
        bool hasName = false;
        bool hasMovedAt = false;
        std::vector<size_t> others; // positions of the members held as text
    };

    static Shape shapeOf(simdjson::dom::object object) {
        Shape shape;
        enum Seen : unsigned { Original = 1, Stored = 2, Name = 4, MovedAt = 8 };
        unsigned seen = 0;
        bool once = true;
        bool strings = true;
        const auto see = [&seen, &once](unsigned member) {
            once = once && (seen & member) == 0;
            seen |= member;
        };
        size_t position = 0;
        for (const simdjson::dom::key_value_pair member : object) {
            bool held = true;
            if (member.key == OriginalPathKey) {
                see(Original);
                strings = strings && member.value.get(shape.original) == simdjson::SUCCESS;
            } else if (member.key == StoredPathKey) {
                see(Stored);
                strings = strings && member.value.get(shape.stored) == simdjson::SUCCESS;
            } else if (member.key == NameKey) {
                see(Name);
                shape.hasName = member.value.get(shape.name) == simdjson::SUCCESS;
                held = shape.hasName;
            } else if (member.key == MovedAtKey) {
                see(MovedAt);
                shape.hasMovedAt = member.value.get(shape.movedAt) == simdjson::SUCCESS;
                held = shape.hasMovedAt;
            } else {
                held = false;
            }
            if (!held) {
                shape.others.push_back(position);
            }
            ++position;
        }
        shape.record = once && strings && (seen & (Original | Stored)) == (Original | Stored);
        return shape;
    }

    // The record the object is, or a foreign element.
    static ManifestElement read(simdjson::dom::element value, qsizetype index,
                                SourceCursor *source) {
        simdjson::dom::object object;
        if (value.get(object) != simdjson::SUCCESS) {
            return foreign(source->element(index));
        }
        const Shape shape = shapeOf(object);
        if (!shape.record) {
            return foreign(source->element(index));
        }
        const std::string_view original = shape.original;
        const std::string_view stored = shape.stored;
        ManifestElement record;
        record.flags_ = ManifestElement::Record;
        record.text_.reserve(static_cast<qsizetype>(original.size()) +
                             static_cast<qsizetype>(stored.size()));
        record.text_.append(View(original));
        record.text_.append(View(stored));
        record.originalSize_ = static_cast<qint32>(original.size());
        record.storedSize_ = static_cast<qint32>(stored.size());
        if (shape.hasName) {
            record.setName(View(shape.name));
        }
        if (shape.hasMovedAt) {
            record.flags_ |= ManifestElement::HasMovedAt;
            record.movedAt_ = shape.movedAt;
        }
        if (!shape.others.empty()) {
            const std::vector<QByteArrayView> members = source->members(index);
            record.json_ += '{';
            for (const size_t at : shape.others) {
                if (record.json_.size() > 1) {
                    record.json_ += ',';
                }
                record.json_ += MinifiedJson(members[at]);
            }
            record.json_ += '}';
        }
        return record;
    }
};

namespace {

// A large manifest is read and parsed a run of records at a time, so
// neither the file's text nor the parser's working memory is ever held
// whole; the same small blocks are reused (on some machines each new page
// costs more than parsing it). Runs are cut at the seam the writer puts
// between two records: the comma between them becomes the closing bracket of
// one run and the opening bracket of the next. Wrapped so, every run must be
// a non-empty array; the runs then join into exactly the text's array, so the
// text is valid exactly when every run is. A seam can only fall outside
// strings (raw line breaks are not allowed in them), but it may fall inside a
// nested value in a file laid out by another writer; such a file is parsed
// whole.
constexpr QByteArrayView Seam("\n    },\n    {");
constexpr qsizetype SeamComma = 6;
constexpr auto Padding = static_cast<qsizetype>(simdjson::SIMDJSON_PADDING);

// Gives up to max more bytes of the text at into; 0 at its end, -1 when it
// cannot be read.
using ReadMore = std::function<qsizetype(char *into, qsizetype max)>;

// The elements of one array text, appended to store; false when the text is
// not an array (or, with needElements, an empty one). The parser may read
// past the text's end, into its padding.
bool ParseArrayInto(simdjson::dom::parser &parser, const char *text, qsizetype size,
                    bool needElements, ManifestStore *store) {
    simdjson::dom::element root;
    simdjson::dom::array array;
    if (parser.parse(reinterpret_cast<const uint8_t *>(text), static_cast<size_t>(size), false)
                .get(root) != simdjson::SUCCESS ||
        root.get(array) != simdjson::SUCCESS || (needElements && array.size() == 0)) {
        return false;
    }
    SourceCursor source(QByteArrayView(text, size));
    qsizetype index = 0;
    for (const simdjson::dom::element value : array) {
        store->append(ElementAccess::read(value, index++, &source));
    }
    return true;
}

enum class RunsResult { Parsed, Unreadable, ParseWhole };

// The text's elements parsed run by run into store, sizeHint the text's
// expected size (to reserve the elements).
RunsResult ParseRuns(const ReadMore &read, qsizetype runBytes, qsizetype sizeHint,
                     ManifestStore *store) {
    simdjson::dom::parser parser;
    QByteArray buffer;
    qsizetype filled = 0;
    bool ended = false;
    for (bool first = true;; first = false) {
        // Enough text for a run: a seam at least runBytes in, or the end.
        qsizetype seam = -1;
        qsizetype searchFrom = std::max<qsizetype>(runBytes, 1);
        for (;;) {
            seam = QByteArrayView(buffer.constData(), filled).indexOf(Seam, searchFrom);
            if (seam >= 0 || ended) {
                break;
            }
            searchFrom = std::max(searchFrom, filled - Seam.size() + 1);
            const qsizetype step = std::max(runBytes, qsizetype{64} * 1024);
            buffer.resize(filled + step + Padding);
            const qsizetype got = read(buffer.data() + filled, step);
            if (got < 0) {
                return RunsResult::Unreadable;
            }
            ended = got == 0;
            filled += got;
            // The parser may look past the text; what it finds there is set.
            std::memset(buffer.data() + filled, ' ', static_cast<size_t>(Padding));
        }
        const bool last = seam < 0;
        const qsizetype end = last ? filled : seam + SeamComma + 1;
        char *text = buffer.data();
        if (!first) {
            text[0] = '[';
        }
        if (!last) {
            text[end - 1] = ']';
        }
        if (!ParseArrayInto(parser, text, end, !(first && last), store)) {
            return RunsResult::ParseWhole;
        }
        if (last) {
            return RunsResult::Parsed;
        }
        if (first) {
            // As many more as the first run's records per byte promise.
            store->reserve(store->size() * (sizeHint / end + 1));
        }
        // The next run starts at the comma this one ended at.
        text[end - 1] = ',';
        filled -= end - 1;
        std::memmove(text, text + end - 1, static_cast<size_t>(filled));
    }
}

// The whole text's elements, for a text that runs could not take.
ManifestStore ParseWhole(QByteArray text, bool *usable) {
    const qsizetype size = text.size();
    text.resize(size + Padding);
    std::memset(text.data() + size, ' ', static_cast<size_t>(Padding));
    simdjson::dom::parser parser;
    ManifestStore store;
    if (!ParseArrayInto(parser, text.constData(), size, false, &store)) {
        *usable = false;
        return {};
    }
    return store;
}

// The bytes' elements, parsed in runs of about runBytes where they allow.
ManifestStore ParseInRuns(QByteArrayView bytes, qsizetype runBytes, bool *usable) {
    bool ignored = true;
    usable = usable != nullptr ? usable : &ignored;
    *usable = true;
    if (bytes.isEmpty()) {
        return {};
    }
    qsizetype taken = 0;
    const ReadMore read = [&](char *into, qsizetype max) {
        const qsizetype count = std::min(max, bytes.size() - taken);
        std::memcpy(into, bytes.data() + taken, static_cast<size_t>(count));
        taken += count;
        return count;
    };
    ManifestStore store;
    if (ParseRuns(read, runBytes, bytes.size(), &store) == RunsResult::Parsed) {
        return store;
    }
    return ParseWhole(bytes.toByteArray(), usable);
}

} // namespace

QString ManifestElement::originalPath() const {
    return QString::fromUtf8(originalPathUtf8());
}

QString ManifestElement::storedPath() const {
    return QString::fromUtf8(storedPathUtf8());
}

QByteArrayView ManifestElement::nameUtf8() const {
    if ((flags_ & NameIsLast) != 0) {
        return LastComponent(originalPathUtf8());
    }
    return QByteArrayView(text_).sliced(originalSize_ + storedSize_);
}

void ManifestElement::setName(QByteArrayView name) {
    flags_ |= HasName;
    if (name == LastComponent(originalPathUtf8())) {
        flags_ |= NameIsLast;
    } else {
        text_.append(name);
    }
}

qsizetype ManifestElement::encodedRoom() const {
    const QByteArrayView name = nameUtf8();
    return 160 + JsonStringRoom(name.size()) + JsonStringRoom(originalSize_) +
           JsonStringRoom(storedSize_);
}

void ManifestElement::encode(QByteArray &out) const {
    constexpr int Depth = 1;
    if (!isRecord()) {
        AppendPrettyJson(out, json_, Depth);
        return;
    }
    // Written in place, the room made first: the members in the order
    // earlier versions wrote them.
    const qsizetype at = out.size();
    out.resize(at + encodedRoom());
    char *end = out.data() + at;
    end = WriteText(end, "{\n");
    if ((flags_ & HasMovedAt) != 0) {
        end = WriteText(end, "        \"movedAt\": ");
        end = std::to_chars(end, end + 24, movedAt_).ptr;
        end = WriteText(end, ",\n");
    }
    if ((flags_ & HasName) != 0) {
        end = WriteText(end, "        \"name\": ");
        end = WriteJsonString(end, nameUtf8());
        end = WriteText(end, ",\n");
    }
    end = WriteText(end, "        \"originalPath\": ");
    end = WriteJsonString(end, originalPathUtf8());
    end = WriteText(end, ",\n        \"storedPath\": ");
    end = WriteJsonString(end, storedPathUtf8());
    out.truncate(end - out.constData());
    if (!json_.isEmpty()) {
        bool first = false;
        AppendPrettyMembers(out, json_, Depth + 1, &first);
    }
    out += "\n    }";
}

void ManifestStore::append(const ManifestStore &other) {
    elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
}

void ManifestStore::append(ManifestStore &&other) {
    if (elements_.empty()) {
        elements_ = std::move(other.elements_);
    } else {
        elements_.insert(elements_.end(), std::make_move_iterator(other.elements_.begin()),
                         std::make_move_iterator(other.elements_.end()));
    }
    other.elements_.clear();
}

ManifestStore ManifestStore::parse(QByteArrayView bytes, bool *usable, qsizetype runBytes) {
    return ParseInRuns(bytes, runBytes, usable);
}

QByteArray ManifestStore::encode() const {
    QByteArray out;
    // About what a record without escapes takes (its layout, its paths, a
    // name no longer than its original path's), so the text is rarely moved
    // as it grows and its pages can be mapped in at once.
    // A record is written into room made for its longest escapes first;
    // the largest such room is added once.
    qsizetype estimate = 16;
    qsizetype room = 0;
    for (const ManifestElement &element : elements_) {
        estimate += 144 + element.text_.size() + element.originalSize_ + element.json_.size() * 2;
        room = std::max(room, element.encodedRoom());
    }
    out.reserve(estimate + room);
    PrefaultForWriting(out.data(), out.capacity());
    out += "[\n";
    bool first = true;
    for (const ManifestElement &element : elements_) {
        out += first ? "    " : ",\n    ";
        first = false;
        element.encode(out);
    }
    out += first ? "]\n" : "\n]\n";
    return out;
}

ManifestElement RestoreRecord(const QByteArray &originalPath, const QByteArray &storedPath,
                              qint64 movedAt) {
    ManifestElement record;
    record.text_.reserve(originalPath.size() + storedPath.size());
    record.text_.append(originalPath);
    record.text_.append(storedPath);
    record.originalSize_ = static_cast<qint32>(originalPath.size());
    record.storedSize_ = static_cast<qint32>(storedPath.size());
    record.flags_ = ManifestElement::Record | ManifestElement::HasMovedAt;
    record.movedAt_ = movedAt;
    record.setName(LastComponent(originalPath));
    return record;
}

ManifestStore ReadManifestFile(const QString &path, bool *journalReplayed, QStringList *notices) {
    QFile file(path);
    bool parsed = true;
    ManifestStore loaded;
    if (file.open(QIODevice::ReadOnly)) {
        const ReadMore read = [&file](char *into, qsizetype max) {
            return static_cast<qsizetype>(file.read(into, max));
        };
        const qsizetype size = file.size();
        const RunsResult result = size == 0
                                      ? RunsResult::Parsed
                                      : ParseRuns(read, ManifestStore::RunBytes, size, &loaded);
        if (result == RunsResult::Unreadable) {
            loaded = ManifestStore();
            parsed = false;
        } else if (result == RunsResult::ParseWhole) {
            loaded = ManifestStore();
            file.seek(0);
            const QByteArray text = file.readAll();
            parsed = file.error() == QFileDevice::NoError;
            if (parsed) {
                loaded = ParseWhole(text, &parsed);
            }
        }
        file.close();
    } else {
        parsed = !EntryExists(path);
    }
    if (!parsed) {
        SetAside(path);
    }

    // Moves of a run that ended before its manifest was saved.
    const std::vector<JournalMove> moves = ReadJournal(JournalPathFor(path), journalReplayed);
    QSet<QPair<QString, QString>> recorded;
    if (!moves.empty()) {
        for (const ManifestElement &element : loaded) {
            if (element.isRecord()) {
                recorded.insert({element.originalPath(), element.storedPath()});
            }
        }
    }
    for (const JournalMove &move : moves) {
        const QString leftOver = FinishInterruptedMove(move);
        if (!leftOver.isEmpty()) {
            notices->append(
                (move.restoring ? QStringLiteral("还原 %1 时被中断，存放文件夹中剩余的 %2 已保留")
                                : QStringLiteral("整理 %1 时被中断，桌面上剩余的 %2 已保留"))
                    .arg(VisibleName(LastPathComponent(move.from)), VisibleName(leftOver)));
        }
        // A move back is finished above; its record is dropped by the next
        // restore, which finds the stored item gone.
        if (move.restoring || !MoveCompleted(move) || recorded.contains({move.from, move.to})) {
            continue;
        }
        recorded.insert({move.from, move.to});
        loaded.append(RestoreRecord(move.from, move.to,
                                    move.done ? move.movedAt : QDateTime::currentSecsSinceEpoch()));
    }
    return loaded;
}
