#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "engine/Runs.h"

#include <QFile>
#include <cerrno>

RestoreOutcome RunRestore(const RestoreRequest &request, const RunSink &sink) {
    RestoreOutcome outcome;
    const ManifestStore &records = request.records;
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
    ManifestStore visitedKept;
    // The paths as the records hold them, UTF-8; made into text only for a
    // line in the log or a name that is taken.
    QByteArray stored;
    const auto copied = [&](qint64 done, qint64 size) {
        progress.copying = LastPathComponent(QFile::decodeName(stored));
        progress.copiedBytes = done;
        progress.totalBytes = size;
        if (sink.progress) {
            sink.progress(progress);
        }
        return !stopped();
    };
    const MoveSteps steps{{}, {}, copied};
    qsizetype i = records.size() - 1;
    for (; i >= 0 && !stopped(); --i) {
        progress.done = records.size() - 1 - i;
        if (sink.progress) {
            sink.progress(progress);
        }
        const ManifestElement &record = records.at(i);
        stored = record.storedPathUtf8().toByteArray();
        const QByteArray original = record.originalPathUtf8().toByteArray();
        if (stored.isEmpty() || original.isEmpty()) {
            ++outcome.skipped;
            continue;
        }
        // The move is tried first: it never replaces anything, and what it
        // fails with tells what is in the way, so a record usually costs one
        // call.
        const auto failedWith = [](const Error &error, int code) {
            return error.domain == PosixErrorDomain && error.code == code;
        };
        Error error;
        MoveReport report;
        QByteArray destination = original;
        bool moved = MoveItem(stored, destination, &error, &report, &steps);
        if (!moved && failedWith(error, ENOENT)) {
            // A moved dangling link is still an item to bring back, so the
            // stored path is tested without following a final link.
            if (!EntryExists(stored)) {
                ++outcome.skipped;
                // Gone from a folder that is still there: the user deleted or
                // moved it. A folder that is missing as a whole is more likely
                // an unplugged disk; its records wait for it to come back.
                const QString storedPath = record.storedPath();
                const QString folder = DeletingLastPathComponent(storedPath);
                if (!folder.isEmpty() && !IsDirectory(folder)) {
                    visitedKept.append(record);
                    say(QStringLiteral(
                            "跳过 %1：存放文件夹 %2 不存在（磁盘可能未连接），记录已保留")
                            .arg(VisibleName(LastPathComponent(storedPath)), VisibleName(folder)));
                }
                continue;
            }
            // The folder that is to hold it is missing: make it, then try
            // again.
            CreateDirectories(DeletingLastPathComponent(record.originalPath()), nullptr);
            moved = MoveItem(stored, destination, &error, &report, &steps);
        }
        if (!moved && failedWith(error, EEXIST)) {
            // Numbered from here: the name itself is taken.
            const QString wanted = record.originalPath();
            destination = QFile::encodeName(UniquePath(wanted, [&wanted](const QString &path) {
                return path == wanted || EntryExists(path);
            }));
            moved = MoveItem(stored, destination, &error, &report, &steps);
        }
        progress.copying.clear();
        if (moved) {
            ++outcome.restored;
            if (!report.attributesNotKept.isEmpty()) {
                say(AttributesNotKeptMessage(VisibleName(LastPathComponent(record.storedPath())),
                                             report));
            }
            continue;
        }
        ++outcome.skipped;
        visitedKept.append(record);
        if (!stopped()) {
            say(QStringLiteral("还原 %1 失败：%2")
                    .arg(VisibleName(LastPathComponent(record.storedPath())), error.description));
        }
    }
    move_detail::ReachStep("ran", {});
    // A stop leaves the records not yet visited as they were, before the
    // ones this run kept.
    outcome.stopped = i >= 0;
    outcome.retained.reserve(i + 1 + visitedKept.size());
    for (qsizetype k = 0; k <= i; ++k) {
        outcome.retained.append(records.at(k));
    }
    outcome.retained.append(visitedKept);
    progress.done = records.size();
    if (sink.progress) {
        sink.progress(progress);
    }
    return outcome;
}
