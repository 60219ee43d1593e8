#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "engine/Runs.h"
#include "engine/TestHooks.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSet>
#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

// How many moves one synced journal write announces, where planning them
// together gives each the name it would get on its own turn. Each batch is
// twice the one before, up to the largest: a long run pays a handful of
// syncs, and a short one plans little ahead.
constexpr size_t FirstBatch = 64;
constexpr size_t LargestBatch = 4096;

struct PlannedMove {
    const DirectoryEntry *entry;
    QByteArray from;           // in the file-name encoding, which is UTF-8 for a name that is text
    QByteArray to;             // empty for an entry that stays
    bool unrecordable = false; // stays because its name is not text
};

// A folder's path with the separator that names inside it follow.
QByteArray FolderPrefix(const QString &folder) {
    QByteArray prefix = QFile::encodeName(folder);
    if (!prefix.endsWith('/')) {
        prefix += '/';
    }
    return prefix;
}

// The Desktop can resolve to the home folder itself (an XDG fallback);
// organizing it would sweep the whole home folder into the target.
bool ListDesktop(const QString &desktop, std::vector<DirectoryEntry> *entries, Error *error) {
    if (PathIsEqualOrInside(StandardizePath(QDir::homePath()), desktop)) {
        SetError(error, Error{AppName, DesktopIsHome,
                              QStringLiteral(
                                  "桌面文件夹就是用户主文件夹（%1），已停止以免整理整个主文件夹")
                                  .arg(VisibleName(desktop))});
        return false;
    }
    return ListDirectory(desktop, entries, error);
}

bool Stopped(const std::atomic<bool> *stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

} // namespace

OrganizeOutcome RunOrganize(const OrganizeRequest &request, const RunSink &sink) {
    OrganizeOutcome outcome;
    const QString &desktop = request.desktop;
    const QString &target = request.target;
    std::vector<DirectoryEntry> entries;
    if (!ListDesktop(desktop, &entries, &outcome.listError)) {
        return outcome;
    }
    outcome.listed = true;

    const auto say = [&sink](const QString &message) {
        if (sink.message) {
            sink.message(message);
        }
    };
    RunProgress progress;
    progress.total = static_cast<qint64>(entries.size());
    const auto report = [&sink, &progress] {
        if (sink.progress) {
            sink.progress(progress);
        }
    };

    // When the target is the Desktop itself, each move frees the name the
    // item leaves; only then can a later item's free name depend on an
    // earlier move, so only then are names chosen one move at a time.
    const bool oneAtATime = desktop == target;
    size_t batch = oneAtATime ? 1 : FirstBatch;

    // Keeps every move restorable should the process die or the power fail
    // before the save. Moves are announced in batches, one synced write
    // each, before any of them is made; an announced move that never
    // happened is told apart at replay by where the item is.
    Error error;
    MoveJournal journal(request.journalPath);
    // Paths are put together as bytes from the names as listed: an item
    // costs no conversion unless its name is taken.
    const QByteArray desktopPrefix = FolderPrefix(desktop);
    const QByteArray targetPrefix = FolderPrefix(target);
    const QByteArray targetBytes = QFile::encodeName(target);
    std::vector<PlannedMove> plan;
    QSet<QByteArray> planned;
    std::vector<char> completed;
    std::vector<VolumeMove> across;  // the batch's moves to another volume
    std::vector<size_t> acrossPlans; // ... and where each is in the plan
    outcome.records.reserve(static_cast<qsizetype>(entries.size()));

    // Told of each step of the moves across volumes; made once for the run.
    const VolumeMoveSteps steps{
        [&](const std::vector<const VolumeMove *> &moves, Error *stepError) {
            for (const VolumeMove *move : moves) {
                journal.copying(move->from, move->to, move->temporary);
            }
            return journal.sync(stepError);
        },
        [&](const std::vector<const VolumeMove *> &moves, Error *stepError) {
            for (const VolumeMove *move : moves) {
                journal.placed(move->from, move->to);
            }
            return journal.sync(stepError);
        },
        [&](const VolumeMove &move, qint64 copied, qint64 size) {
            const auto k = static_cast<size_t>(&move - across.data());
            progress.copying = plan[acrossPlans[k]].entry->name;
            progress.copiedBytes = copied;
            progress.totalBytes = size;
            report();
            return !Stopped(request.stop);
        }};

    for (size_t start = 0; start < entries.size() && !outcome.stopped; start += batch) {
        if (start != 0 && !oneAtATime) {
            batch = std::min(batch * 2, LargestBatch);
        }
        const size_t end = std::min(entries.size(), start + batch);
        plan.clear();
        planned.clear();
        for (size_t i = start; i < end; ++i) {
            const DirectoryEntry &entry = entries[i];
            PlannedMove move{&entry, desktopPrefix + entry.rawName, QByteArray()};
            // The target inside the item would move the item into itself.
            const bool holdsTarget =
                targetBytes.startsWith(move.from) &&
                (targetBytes.size() == move.from.size() || targetBytes[move.from.size()] == '/');
            move.unrecordable = !entry.hidden && !holdsTarget && !entry.nameIsText;
            if (!entry.hidden && !holdsTarget && entry.nameIsText) {
                // A name planned earlier in the batch is taken, as it will
                // be once that item has moved.
                const auto taken = [&planned](const QByteArray &path) {
                    return planned.contains(path) || EntryExists(path);
                };
                move.to = targetPrefix + entry.rawName;
                if (taken(move.to)) {
                    // Numbered from here: the name itself was just found taken.
                    const QString wanted = JoinPath(target, entry.name);
                    move.to = QFile::encodeName(
                        UniquePath(wanted, [&taken, &wanted](const QString &path) {
                            return path == wanted || taken(QFile::encodeName(path));
                        }));
                }
                planned.insert(move.to);
                journal.begin(move.from, move.to);
            }
            plan.push_back(std::move(move));
        }
        if (!journal.sync(&error)) {
            // Nothing moves that could not be recorded: this batch and every
            // entry after it stay on the Desktop.
            outcome.skipped += static_cast<qint64>(entries.size() - start);
            say(QStringLiteral("无法写入还原记录（%1），已停止整理").arg(error.description));
            break;
        }
        ReachStep("announced", QFile::encodeName(request.journalPath));

        completed.assign(plan.size(), 0);
        across.clear();
        acrossPlans.clear();
        for (size_t i = 0; i < plan.size(); ++i) {
            if (Stopped(request.stop)) {
                // Announced moves that never happen are told apart at
                // replay by where their items are.
                outcome.stopped = true;
                outcome.skipped +=
                    static_cast<qint64>(entries.size() - (start + i) + across.size());
                across.clear();
                break;
            }
            const PlannedMove &move = plan[i];
            progress.done = static_cast<qint64>(start + i);
            report();
            if (move.to.isEmpty()) {
                ++outcome.skipped;
                if (move.unrecordable) {
                    // Its record could not find it again; leave it where it is.
                    say(QStringLiteral("跳过 %1：%2")
                            .arg(VisibleName(move.entry->name), QStringLiteral("文件名无法记录")));
                }
                continue;
            }
            const int err = MoveByRename(move.from, move.to);
            if (err == 0) {
                completed[i] = 1;
            } else if (err == EXDEV) {
                // Copied with the rest of the batch's, so that one sync
                // makes all their copies durable.
                across.push_back(VolumeMove{move.from, move.to, {}, false, {}, {}});
                acrossPlans.push_back(i);
            } else {
                ++outcome.skipped;
                say(QStringLiteral("跳过 %1：%2")
                        .arg(VisibleName(move.entry->name), PosixError(err).description));
            }
        }
        if (!across.empty()) {
            MoveAcrossVolumes(across, steps);
            progress.copying.clear();
            for (size_t k = 0; k < across.size(); ++k) {
                const VolumeMove &move = across[k];
                const PlannedMove &planItem = plan[acrossPlans[k]];
                if (move.moved) {
                    completed[acrossPlans[k]] = 1;
                    MoveReport moveReport{move.attributesNotKept};
                    if (!moveReport.attributesNotKept.isEmpty()) {
                        say(AttributesNotKeptMessage(VisibleName(planItem.entry->name),
                                                     moveReport));
                    }
                    continue;
                }
                ++outcome.skipped;
                if (move.error.domain == PosixErrorDomain && move.error.code == ECANCELED &&
                    Stopped(request.stop)) {
                    outcome.stopped = true; // its copy was stopped; the item stays
                    continue;
                }
                say(QStringLiteral("跳过 %1：%2")
                        .arg(VisibleName(planItem.entry->name), move.error.description));
            }
            if (outcome.stopped) {
                outcome.skipped += static_cast<qint64>(entries.size() - end);
            }
        }
        const qint64 movedAt = QDateTime::currentSecsSinceEpoch();
        for (size_t i = 0; i < plan.size(); ++i) {
            if (completed[i] != 0) {
                journal.done(plan[i].from, plan[i].to, movedAt);
                outcome.records.append(RestoreRecord(plan[i].from, plan[i].to, movedAt));
                ++outcome.moved;
            }
        }
    }
    ReachStep("ran", targetBytes);
    progress.done = outcome.moved + outcome.skipped;
    report();
    // The lines saying moves finished are a convenience for the replay,
    // which also finds a finished move by where its item is.
    journal.flush(nullptr);
    return outcome;
}
