#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "engine/ReservedNames.h"
#include "engine/Runs.h"
#include "engine/TestHooks.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

namespace {

// Moves back across volumes are made together, this many records at first
// and twice as many each time after, so that one sync covers many copies.
constexpr qsizetype FirstGroup = 64;
constexpr qsizetype LargestGroup = 4096;
// How often a numbered name that another program took between its choice and
// the move is numbered anew before the record is kept.
constexpr int RenumberRounds = 3;

bool FailedWith(const Error &error, int code) {
    return error.domain == PosixErrorDomain && error.code == code;
}

} // namespace

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

    // Opened at the first record brought back or dropped. Besides the steps
    // of the moves back across volumes, it tells a replay which records this
    // restore dropped, should its save fail.
    std::unique_ptr<MoveJournal> journal;
    const auto openJournal = [&]() -> MoveJournal * {
        if (!journal && !request.journalPath.isEmpty()) {
            journal = std::make_unique<MoveJournal>(request.journalPath);
        }
        return journal.get();
    };
    const auto dropRecord = [&](const ManifestElement &record) {
        if (MoveJournal *open = openJournal()) {
            open->back(record.originalPathUtf8().toByteArray(),
                       record.storedPathUtf8().toByteArray());
        }
    };
    std::vector<VolumeMove> across;             // the group's moves back across volumes
    std::vector<MoveJournal::Mark> acrossMarks; // ... and their copies' lines
    const auto journalSync = [&](const std::vector<const VolumeMove *> &moves, bool placed,
                                 Error *error) {
        if (openJournal() == nullptr) {
            return true;
        }
        for (const VolumeMove *move : moves) {
            const auto k = static_cast<size_t>(move - across.data());
            if (placed) {
                journal->restorePlaced(acrossMarks[k]);
            } else {
                acrossMarks[k] = journal->restoreCopying(move->from, move->to, move->temporary);
            }
        }
        return journal->sync(error);
    };
    const VolumeMoveSteps steps{[&](const std::vector<const VolumeMove *> &moves, Error *error) {
                                    return journalSync(moves, false, error);
                                },
                                [&](const std::vector<const VolumeMove *> &moves, Error *error) {
                                    return journalSync(moves, true, error);
                                },
                                [&](const VolumeMove &move, qint64 done, qint64 size) {
                                    progress.copying = LastPathComponent(NameText(move.from));
                                    progress.copiedBytes = done;
                                    progress.totalBytes = size;
                                    if (sink.progress) {
                                        sink.progress(progress);
                                    }
                                    return !stopped();
                                }};

    // A visited record: kept (failed, or waiting for its folder), or waiting
    // for its move across volumes; in the order visited.
    struct Visit {
        qsizetype record;
        qsizetype across; // -1: kept as it is
    };
    std::vector<Visit> visits;
    ReservedNames pending; // destinations of the moves waiting

    qsizetype i = records.size() - 1;
    for (qsizetype group = FirstGroup; i >= 0 && !stopped();
         group = std::min(group * 2, LargestGroup)) {
        visits.clear();
        across.clear();
        acrossMarks.clear();
        pending.clear();
        const qsizetype last = std::max<qsizetype>(i - group, -1);
        for (; i > last && !stopped(); --i) {
            progress.done = records.size() - 1 - i;
            if (sink.progress) {
                sink.progress(progress);
            }
            const ManifestElement &record = records.at(i);
            // The paths as the records hold them, UTF-8; made into text only
            // for a line in the log or a name that is taken.
            const QByteArray stored = record.storedPathUtf8().toByteArray();
            QByteArray destination = record.originalPathUtf8().toByteArray();
            if (stored.isEmpty() || destination.isEmpty()) {
                ++outcome.skipped;
                continue;
            }
            // The move is tried first: it never replaces anything, and what
            // it fails with tells what is in the way, so a record usually
            // costs one call. Across volumes the rename fails before it looks
            // at either name, so both are looked at here.
            int err = MoveByRename(stored, destination);
            // A moved dangling link is still an item to bring back, so the
            // stored path is tested without following a final link.
            if ((err == ENOENT || err == EXDEV) && !EntryExists(stored)) {
                ++outcome.skipped;
                bool kept = false;
                // Gone from a folder that is still there: the user deleted or
                // moved it. A folder that is missing as a whole is more likely
                // an unplugged disk; its records wait for it to come back.
                const QString storedPath = record.storedPath();
                const QString folder = DeletingLastPathComponent(storedPath);
                if (!folder.isEmpty() && !IsDirectory(folder)) {
                    kept = true;
                    visits.push_back(Visit{i, -1});
                    say(QStringLiteral(
                            "跳过 %1：存放文件夹 %2 不存在（磁盘可能未连接），记录已保留")
                            .arg(VisibleName(LastPathComponent(storedPath)), VisibleName(folder)));
                }
                if (!kept) {
                    dropRecord(record);
                }
                continue;
            }
            if (err == ENOENT) {
                // The folder that is to hold it is missing: make it, then try
                // again.
                CreateDirectories(DeletingLastPathComponent(record.originalPath()), nullptr);
                err = MoveByRename(stored, destination);
            }
            const auto taken = [&pending](const QByteArray &path) {
                return pending.holds(path) || EntryExists(path);
            };
            // Numbered from here: the name itself is taken. A numbered name
            // another program took meanwhile is numbered anew, a few times.
            for (int round = 0;
                 round <= RenumberRounds && (err == EEXIST || (err == EXDEV && taken(destination)));
                 ++round) {
                const QString wanted = record.originalPath();
                destination = NameBytes(UniquePath(wanted, [&wanted, &taken](const QString &path) {
                    return path == wanted || taken(NameBytes(path));
                }));
                err = err == EEXIST ? MoveByRename(stored, destination) : EXDEV;
            }
            if (err == 0) {
                ++outcome.restored;
                dropRecord(record);
                continue;
            }
            if (err == EXDEV) {
                visits.push_back(Visit{i, static_cast<qsizetype>(across.size())});
                across.push_back(VolumeMove{stored, destination, {}, false, {}, {}});
                acrossMarks.push_back(-1);
                pending.insert(destination);
                continue;
            }
            ++outcome.skipped;
            visits.push_back(Visit{i, -1});
            say(QStringLiteral("还原 %1 失败：%2")
                    .arg(VisibleName(LastPathComponent(record.storedPath())),
                         PosixError(err).description));
        }
        if (!across.empty() && !stopped()) {
            MoveAcrossVolumes(across, steps);
            progress.copying.clear();
        }
        for (const Visit &visit : visits) {
            const ManifestElement &record = records.at(visit.record);
            if (visit.across >= 0) {
                const VolumeMove &move = across[static_cast<size_t>(visit.across)];
                if (move.moved) {
                    ++outcome.restored;
                    dropRecord(record);
                    MoveReport report{move.attributesNotKept};
                    if (!report.attributesNotKept.isEmpty()) {
                        say(AttributesNotKeptMessage(
                            VisibleName(LastPathComponent(record.storedPath())), report));
                    }
                    continue;
                }
                ++outcome.skipped;
                // Not made because the run stopped: kept without a line.
                if (move.error.code != 0 && !FailedWith(move.error, ECANCELED)) {
                    say(QStringLiteral("还原 %1 失败：%2")
                            .arg(VisibleName(LastPathComponent(record.storedPath())),
                                 move.error.description));
                }
            }
            visitedKept.append(record);
        }
        if (journal) {
            journal->flush(nullptr);
        }
    }
    ReachStep("ran", {});
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
