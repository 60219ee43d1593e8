#include "engine/ManifestRecovery.h"

#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QSet>
#include <vector>

ManifestStore ReadManifestFile(const QString &path, bool *journalReplayed, QStringList *notices,
                               const QString &mirrorPath, ManifestReadReport *report) {
    ManifestReadReport unasked;
    report = report != nullptr ? report : &unasked;
    ManifestStore loaded = ReadManifestOrMirror(path, mirrorPath, report);
    if (!report->unreadableFile.isEmpty()) {
        // Nothing is finished or saved before both files can be read.
        *journalReplayed = false;
        return loaded;
    }
    const qsizetype readElements = loaded.size();

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
    report->journalRecords = loaded.size() - readElements;
    return loaded;
}
