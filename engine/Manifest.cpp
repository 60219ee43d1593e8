#include "engine/Manifest.h"

#include "engine/FileSystem.h"
#include "engine/JsonText.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace {

// The layout around records, cut from the seam the writer puts between two:
// a record ends where the seam starts, and the seam's middle stands between
// two elements.
constexpr QByteArrayView RecordEnd = ManifestStore::Seam.first(ManifestStore::SeamComma);
constexpr QByteArrayView Between = ManifestStore::Seam.sliced(ManifestStore::SeamComma).chopped(1);

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
    out += RecordEnd;
}

void ManifestStore::append(const ManifestStore &other) {
    elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
}

void ManifestStore::append(ManifestStore &&other) {
    // Taken whole unless room was made for it.
    if (elements_.empty() && elements_.capacity() < other.elements_.size()) {
        elements_ = std::move(other.elements_);
    } else {
        elements_.insert(elements_.end(), std::make_move_iterator(other.elements_.begin()),
                         std::make_move_iterator(other.elements_.end()));
    }
    other.elements_.clear();
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
    encodeOpening(out);
    bool first = true;
    for (const ManifestElement &element : elements_) {
        encodeElement(out, element, &first);
    }
    encodeClosing(out, first);
    return out;
}

void ManifestStore::encodeElement(QByteArray &out, const ManifestElement &element, bool *first) {
    out += *first ? QByteArrayView("    ") : Between;
    *first = false;
    element.encode(out);
}

ManifestElement RestoreRecord(const QByteArray &originalPath, const QByteArray &storedPath,
                              qint64 movedAt) {
    ManifestElement record;
    record.text_.reserve(originalPath.size() + storedPath.size());
    record.text_.append(originalPath);
    record.text_.append(storedPath);
    record.originalSize_ = static_cast<qint32>(originalPath.size());
    record.storedSize_ = static_cast<qint32>(storedPath.size());
    // Its name is its original path's last component, so it is not held.
    record.flags_ = ManifestElement::Record | ManifestElement::HasMovedAt |
                    ManifestElement::HasName | ManifestElement::NameIsLast;
    record.movedAt_ = movedAt;
    return record;
}
