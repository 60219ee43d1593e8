#pragma once
// The restore manifest in memory and its writer: the elements of a JSON
// array, records and foreign ones, written back pretty-printed in the layout
// earlier versions wrote. The reader (engine/ManifestReader.cpp) takes
// anything but a valid array as an unusable manifest. Reading the manifest
// file at start-up, with what the journal adds, is engine/ManifestRecovery.h;
// writing it to the disk is WriteFileAtomically (engine/FileSystem.h).

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <initializer_list>
#include <vector>

QT_BEGIN_NAMESPACE
class QFile;
QT_END_NAMESPACE

// One element of the manifest's array. A record (an object whose
// originalPath and storedPath are strings) keeps its strings as UTF-8 and any
// other members as their JSON text; anything else is a foreign element, kept
// as its JSON text, never read and written back as it was.
class ManifestElement {
public:
    bool isRecord() const { return (flags_ & Record) != 0; }
    // Empty for a foreign element.
    QString originalPath() const;
    QString storedPath() const;
    // The same as UTF-8, without converting.
    QByteArrayView originalPathUtf8() const { return QByteArrayView(text_).first(originalSize_); }
    QByteArrayView storedPathUtf8() const {
        return QByteArrayView(text_).sliced(originalSize_, storedSize_);
    }

    bool operator==(const ManifestElement &other) const = default;

private:
    friend class ManifestStore;
    friend struct ElementAccess;
    friend ManifestElement RestoreRecord(const QByteArray &, const QByteArray &, qint64);

    enum Flag : quint8 {
        Record = 1,
        HasName = 2,    // a name member that is a string
        NameIsLast = 4, // ... equal to originalPath's last component, so not held
        HasMovedAt = 8, // a movedAt member that is a 64-bit integer
    };
    QByteArrayView nameUtf8() const;
    void setName(QByteArrayView name);
    void encode(QByteArray &out) const;
    qsizetype encodedRoom() const; // enough for a record's text at its longest

    // A record's originalPath, storedPath and, unless it is the last
    // component, name, one after the other.
    QByteArray text_;
    // A foreign element's JSON text; a record's other members as the text of
    // an object. Without whitespace outside strings.
    QByteArray json_;
    qint64 movedAt_ = 0;
    qint32 originalSize_ = 0;
    qint32 storedSize_ = 0;
    quint8 flags_ = 0;
};

// The manifest in memory: its elements in file order.
class ManifestStore {
public:
    ManifestStore() = default;
    ManifestStore(std::initializer_list<ManifestElement> elements) : elements_(elements) {}

    qsizetype size() const { return static_cast<qsizetype>(elements_.size()); }
    bool isEmpty() const { return elements_.empty(); }
    const ManifestElement &at(qsizetype i) const { return elements_[static_cast<size_t>(i)]; }
    auto begin() const { return elements_.begin(); }
    auto end() const { return elements_.end(); }

    void append(ManifestElement element) { elements_.push_back(std::move(element)); }
    void append(const ManifestStore &other);
    void append(ManifestStore &&other);
    void reserve(qsizetype size) { elements_.reserve(static_cast<size_t>(size)); }

    bool operator==(const ManifestStore &other) const = default;

    // The size of the runs a large text is parsed in.
    static constexpr qsizetype RunBytes = qsizetype{256} * 1024;
    // The array the bytes hold; empty for zero bytes, text that is not JSON
    // (RFC 8259, UTF-8) or a top level that is not an array, and then
    // *usable is false unless there were zero bytes. Parsed in runs of about
    // runBytes where the text allows; what it gives never depends on runBytes.
    static ManifestStore parse(QByteArrayView bytes, bool *usable = nullptr,
                               qsizetype runBytes = RunBytes);
    // The same read from the open file a run at a time, so that a large file
    // is never held whole; a file that cannot be read is unusable too.
    static ManifestStore parse(QFile &file, bool *usable);
    // Pretty-printed UTF-8 JSON of the whole array; between two records it
    // puts Seam.
    QByteArray encode() const;
    // The same text written in parts, as elements come: the opening, each
    // element after those before it (*first until one is), the closing.
    static void encodeOpening(QByteArray &out) { out += "[\n"; }
    static void encodeElement(QByteArray &out, const ManifestElement &element, bool *first);
    static void encodeClosing(QByteArray &out, bool first) { out += first ? "]\n" : "\n]\n"; }
    // What the writer puts between two records: the end of one, the comma
    // and the start of the next. It stands outside strings (a raw line break
    // cannot stand in one), so the reader cuts its runs there.
    static constexpr QByteArrayView Seam{"\n    },\n    {"};
    static constexpr qsizetype SeamComma = 6; // the comma's place in Seam

private:
    std::vector<ManifestElement> elements_;
};

// A restore record with its four members, from the paths or their UTF-8.
ManifestElement RestoreRecord(const QByteArray &originalPath, const QByteArray &storedPath,
                              qint64 movedAt);
inline ManifestElement RestoreRecord(const QString &originalPath, const QString &storedPath,
                                     qint64 movedAt) {
    return RestoreRecord(originalPath.toUtf8(), storedPath.toUtf8(), movedAt);
}
