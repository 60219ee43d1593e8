#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "engine/Runs.h"

#include <QJsonObject>
#include <cerrno>

RestoreOutcome RunRestore(const RestoreRequest &request, const RunSink &sink) {
    RestoreOutcome outcome;
    const QJsonArray &records = request.records;
    const auto say = [&sink](const QString &message) {
        if (sink.message) {
            sink.message(message);
        }
    };
    const auto stopped = [&request] {
        return request.stop != nullptr && request.stop->load(std::memory_order_relaxed);
    };
    RunProgress progress;
    progress.total = records.size();
    QJsonArray visitedKept;
    qsizetype i = records.size() - 1;
    for (; i >= 0 && !stopped(); --i) {
        progress.done = records.size() - 1 - i;
        if (sink.progress) {
            sink.progress(progress);
        }
        const QJsonValue record = records.at(i);
        const QJsonObject fields = record.toObject();
        const QString storedPath = fields.value(record_key::StoredPath).toString();
        const QString originalPath = fields.value(record_key::OriginalPath).toString();
        if (storedPath.isEmpty() || originalPath.isEmpty()) {
            ++outcome.skipped;
            continue;
        }
        // A moved dangling link is still an item to bring back, so the stored
        // path is tested without following a final link.
        if (!EntryExists(storedPath)) {
            ++outcome.skipped;
            // Gone from a folder that is still there: the user deleted or
            // moved it. A folder that is missing as a whole is more likely an
            // unplugged disk; its records wait for it to come back.
            const QString folder = DeletingLastPathComponent(storedPath);
            if (!folder.isEmpty() && !IsDirectory(folder)) {
                visitedKept.append(record);
                say(QStringLiteral("跳过 %1：存放文件夹 %2 不存在（磁盘可能未连接），记录已保留")
                        .arg(VisibleName(LastPathComponent(storedPath)), VisibleName(folder)));
            }
            continue;
        }
        const QString destination = UniquePath(originalPath);
        const MoveSteps steps{{}, {}, [&](qint64 copied, qint64 size) {
                                  progress.copying = LastPathComponent(storedPath);
                                  progress.copiedBytes = copied;
                                  progress.totalBytes = size;
                                  if (sink.progress) {
                                      sink.progress(progress);
                                  }
                                  return !stopped();
                              }};
        Error error;
        MoveReport report;
        bool moved = MoveItem(storedPath, destination, &error, &report, &steps);
        if (!moved && error.domain == PosixErrorDomain && error.code == ENOENT) {
            // The folder that is to hold it is missing: make it, then try
            // again. Creating it only when needed saves a call per item.
            CreateDirectories(DeletingLastPathComponent(originalPath), nullptr);
            moved = MoveItem(storedPath, destination, &error, &report, &steps);
        }
        progress.copying.clear();
        if (moved) {
            ++outcome.restored;
            if (!report.attributesNotKept.isEmpty()) {
                say(AttributesNotKeptMessage(VisibleName(LastPathComponent(storedPath)), report));
            }
            continue;
        }
        ++outcome.skipped;
        visitedKept.append(record);
        if (!stopped()) {
            say(QStringLiteral("还原 %1 失败：%2")
                    .arg(VisibleName(LastPathComponent(storedPath)), error.description));
        }
    }
    // A stop leaves the records not yet visited as they were, before the
    // ones this run kept.
    outcome.stopped = i >= 0;
    for (qsizetype k = 0; k <= i; ++k) {
        outcome.retained.append(records.at(k));
    }
    for (const auto &kept : std::as_const(visitedKept)) {
        outcome.retained.append(kept);
    }
    progress.done = records.size();
    if (sink.progress) {
        sink.progress(progress);
    }
    return outcome;
}
