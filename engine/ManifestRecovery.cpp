#include "engine/ManifestRecovery.h"

#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"

#include <QDateTime>
#include <QFile>
#include <QHash>
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

    // Moves of runs that ended before their manifest was saved, run by run,
    // and the records restores dropped since.
    const std::vector<JournalMove> moves = ReadJournal(JournalPathFor(path), journalReplayed);
    if (moves.empty()) {
        return loaded;
    }
    std::vector<ManifestElement> elements(loaded.begin(), loaded.end());
    std::vector<char> dropped(elements.size(), 0);
    QHash<QPair<QString, QString>, std::vector<size_t>> recorded;
    for (size_t i = 0; i < elements.size(); ++i) {
        if (elements[i].isRecord()) {
            recorded[{elements[i].originalPath(), elements[i].storedPath()}].push_back(i);
        }
    }
    for (const JournalMove &move : moves) {
        const QPair<QString, QString> pair(move.from, move.to);
        if (move.back) {
            for (const size_t i : recorded.take(pair)) {
                dropped[i] = 1;
            }
            continue;
        }
        const FinishedMove finished = FinishInterruptedMove(move);
        if (!finished.leftOver.isEmpty()) {
            notices->append((move.restoring
                                 ? QStringLiteral("还原 %1 时被中断，存放文件夹中剩余的 %2 已保留")
                                 : QStringLiteral("整理 %1 时被中断，桌面上剩余的 %2 已保留"))
                                .arg(VisibleName(LastPathComponent(move.from)),
                                     VisibleName(finished.leftOver)));
        }
        // A move back is finished above; its record goes with the restore's
        // line for it, or at the next restore, which finds the stored item gone.
        if (move.restoring || !finished.completed || recorded.contains(pair)) {
            continue;
        }
        recorded[pair].push_back(elements.size());
        elements.push_back(RestoreRecord(
            move.from, move.to, move.done ? move.movedAt : QDateTime::currentSecsSinceEpoch()));
        dropped.push_back(0);
    }
    report->journalRecords = static_cast<qsizetype>(elements.size()) - readElements;
    ManifestStore replayed;
    replayed.reserve(static_cast<qsizetype>(elements.size()));
    for (size_t i = 0; i < elements.size(); ++i) {
        if (dropped[i] == 0) {
            replayed.append(std::move(elements[i]));
        }
    }
    return replayed;
}
