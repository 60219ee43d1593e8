// The manifest's reader: strict JSON (RFC 8259, UTF-8) by simdjson, a large
// text parsed a run of records at a time. Builds the elements of
// engine/Manifest.h, whose writer makes the seam the runs are cut at.

#include "engine/JsonText.h"
#include "engine/Manifest.h"

#include <QFile>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <simdjson.h>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view OriginalPathKey = "originalPath";
constexpr std::string_view StoredPathKey = "storedPath";
constexpr std::string_view NameKey = "name";
constexpr std::string_view MovedAtKey = "movedAt";

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
// between two records (ManifestStore::Seam): the comma between them becomes the closing bracket of
// one run and the opening bracket of the next. Wrapped so, every run must be
// a non-empty array; the runs then join into exactly the text's array, so the
// text is valid exactly when every run is. A seam can only fall outside
// strings (raw line breaks are not allowed in them), but it may fall inside a
// nested value in a file laid out by another writer; such a file is parsed
// whole.
constexpr QByteArrayView Seam = ManifestStore::Seam;
constexpr qsizetype SeamComma = ManifestStore::SeamComma;
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

// The elements of a text of size bytes, parsed in runs of about runBytes
// where it allows: read gives the text from its start, and whole gives it
// all again (none when it cannot be read) for a text that runs could not take.
ManifestStore Parse(const ReadMore &read, qsizetype size, qsizetype runBytes,
                    const std::function<std::optional<QByteArray>()> &whole, bool *usable) {
    bool ignored = true;
    usable = usable != nullptr ? usable : &ignored;
    *usable = true;
    if (size == 0) {
        return {};
    }
    ManifestStore store;
    const RunsResult result = ParseRuns(read, runBytes, size, &store);
    if (result == RunsResult::Parsed) {
        return store;
    }
    std::optional<QByteArray> text;
    if (result == RunsResult::ParseWhole) {
        text = whole();
    }
    if (!text) {
        *usable = false;
        return {};
    }
    return ParseWhole(*std::move(text), usable);
}

} // namespace

ManifestStore ManifestStore::parse(QByteArrayView bytes, bool *usable, qsizetype runBytes) {
    qsizetype taken = 0;
    const ReadMore read = [&](char *into, qsizetype max) {
        const qsizetype count = std::min(max, bytes.size() - taken);
        std::memcpy(into, bytes.data() + taken, static_cast<size_t>(count));
        taken += count;
        return count;
    };
    const auto whole = [bytes] {
        return std::optional(bytes.toByteArray());
    };
    return Parse(read, bytes.size(), runBytes, whole, usable);
}

ManifestStore ManifestStore::parse(QFile &file, bool *usable) {
    const ReadMore read = [&file](char *into, qsizetype max) {
        return static_cast<qsizetype>(file.read(into, max));
    };
    const auto whole = [&file]() -> std::optional<QByteArray> {
        file.seek(0);
        QByteArray text = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            return std::nullopt;
        }
        return text;
    };
    return Parse(read, file.size(), RunBytes, whole, usable);
}
