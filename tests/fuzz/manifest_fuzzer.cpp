// libFuzzer target: arbitrary bytes as the manifest file and as the journal
// of an interrupted run. Whatever they are, reading never fails hard, an
// unusable file gives an empty manifest, a loaded manifest saves and reloads
// to the same values, and the journal yields each move once.

#include "engine/Journal.h"
#include "engine/Manifest.h"

#include <QFile>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {

void CheckJournal(const QByteArray &bytes) {
    static QTemporaryDir folder;
    const QString path = folder.path() + QStringLiteral("/journal");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size()) {
        std::abort();
    }
    file.close();
    bool exists = false;
    QSet<QPair<QString, QString>> seen;
    for (const JournalMove &move : ReadJournal(path, &exists)) {
        if (move.from.isEmpty() || move.to.isEmpty() || seen.contains({move.from, move.to})) {
            std::abort();
        }
        seen.insert({move.from, move.to});
    }
    if (!exists) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    bool usable = false;
    const ManifestStore manifest = ManifestStore::parse(bytes, &usable);
    if (!usable && !manifest.isEmpty()) {
        std::abort();
    }
    if (bytes.isEmpty() && !usable) {
        std::abort(); // an empty file is an empty manifest, not a broken one
    }
    // Cut at every seam between records, the text gives what it gives whole.
    bool whole = false;
    bool cut = false;
    if (ManifestStore::parse(bytes, &whole, bytes.size() + 1) !=
            ManifestStore::parse(bytes, &cut, 1) ||
        whole != cut || whole != usable) {
        std::abort();
    }
    const QByteArray saved = manifest.encode();
    bool reloadedUsable = false;
    const ManifestStore reloaded = ManifestStore::parse(saved, &reloadedUsable);
    if (!reloadedUsable || reloaded != manifest) {
        std::abort();
    }
    if (reloaded.encode() != saved) {
        std::abort(); // saving is stable
    }
    if (usable) {
        // Another reader sees the same values in what was saved.
        const QJsonDocument before = QJsonDocument::fromJson(bytes);
        if (before.isArray() && QJsonDocument::fromJson(saved) != before) {
            std::abort();
        }
    }
    CheckJournal(bytes);
    return 0;
}
