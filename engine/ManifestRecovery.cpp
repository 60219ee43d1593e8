#include "engine/ManifestRecovery.h"

#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QFile>
#include <QSet>
#include <vector>

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

} // namespace

ManifestStore ReadManifestFile(const QString &path, bool *journalReplayed, QStringList *notices) {
    QFile file(path);
    bool parsed = true;
    ManifestStore loaded;
    if (file.open(QIODevice::ReadOnly)) {
        loaded = ManifestStore::parse(file, &parsed);
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
