// A restore run as a type of its own, behind RunRestore (engine/Runs.h): the
// records in, newest first, in groups; each record visited (its item moved
// back, numbered where its name is taken, left waiting to cross volumes, or
// kept); the group's moves across volumes made together; then the group's
// visits taken in order. What is kept becomes the manifest.

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

QString ItemName(const ManifestElement &record) {
    return VisibleName(LastPathComponent(record.storedPath()));
}

class RestoreRun {
public:
    RestoreRun(const RestoreRequest &request, const RunSink &sink)
        : request_(request), sink_(sink), records_(request.records), next_(records_.size() - 1) {
        progress_.total = records_.size();
    }

    RestoreOutcome run();

private:
    void startGroup();
    void visit(qsizetype i);
    void visitGone(qsizetype i);
    int numberedMove(const ManifestElement &record, const QByteArray &stored,
                     QByteArray *destination, int err);
    void carryAcross();
    VolumeMoveSteps acrossSteps();
    bool journalAcross(const std::vector<const VolumeMove *> &moves, bool placed, Error *error);
    void settle();
    RestoreOutcome finish();
    MoveJournal *journal();
    void dropRecord(const ManifestElement &record);
    bool stopped() const {
        return request_.stop != nullptr && request_.stop->load(std::memory_order_relaxed);
    }
    void say(const QString &message) const {
        if (sink_.message) {
            sink_.message(message);
        }
    }
    void report() const {
        if (sink_.progress) {
            sink_.progress(progress_);
        }
    }

    // A visited record: kept (failed, or waiting for its folder), or waiting
    // for its move across volumes; in the order visited.
    struct Visit {
        qsizetype record;
        qsizetype across; // -1: kept as it is
    };

    const RestoreRequest &request_;
    const RunSink &sink_;
    const ManifestStore &records_;
    qsizetype next_; // the next record to visit, newest first; -1 once all are
    RestoreOutcome outcome_;
    RunProgress progress_;
    ManifestStore visitedKept_;
    // Opened at the first record brought back or dropped. Besides the steps
    // of the moves back across volumes, it tells a replay which records this
    // restore dropped, should its save fail.
    std::unique_ptr<MoveJournal> journal_;
    std::vector<Visit> visits_;
    std::vector<VolumeMove> across_;             // the group's moves back across volumes
    std::vector<MoveJournal::Mark> acrossMarks_; // ... and their copies' lines
    ReservedNames pending_;                      // destinations of the moves waiting
};

// A group of records at a time, newest first: each visited, the group's
// moves across volumes made together, then what each visit left taken in
// order.
RestoreOutcome RestoreRun::run() {
    for (qsizetype group = FirstGroup; next_ >= 0 && !stopped();
         group = std::min(group * 2, LargestGroup)) {
        startGroup();
        const qsizetype last = std::max<qsizetype>(next_ - group, -1);
        for (; next_ > last && !stopped(); --next_) {
            progress_.done = records_.size() - 1 - next_;
            report();
            visit(next_);
        }
        carryAcross();
        settle();
    }
    return finish();
}

void RestoreRun::startGroup() {
    visits_.clear();
    across_.clear();
    acrossMarks_.clear();
    pending_.clear();
}

void RestoreRun::visit(qsizetype i) {
    const ManifestElement &record = records_.at(i);
    // The paths as the records hold them, UTF-8; made into text only for a
    // line in the log or a name that is taken.
    const QByteArray stored = record.storedPathUtf8().toByteArray();
    QByteArray destination = record.originalPathUtf8().toByteArray();
    if (stored.isEmpty() || destination.isEmpty()) {
        ++outcome_.skipped;
        return;
    }
    // The move is tried first: it never replaces anything, and what it fails
    // with tells what is in the way, so a record usually costs one call.
    // Across volumes the rename fails before it looks at either name, so both
    // are looked at here.
    int err = MoveByRename(stored, destination);
    // A moved dangling link is still an item to bring back, so the stored
    // path is tested without following a final link.
    if ((err == ENOENT || err == EXDEV) && !EntryExists(stored)) {
        visitGone(i);
        return;
    }
    if (err == ENOENT) {
        // The folder that is to hold it is missing: make it, then try again.
        CreateDirectories(DeletingLastPathComponent(record.originalPath()), nullptr);
        err = MoveByRename(stored, destination);
    }
    err = numberedMove(record, stored, &destination, err);
    if (err == 0) {
        ++outcome_.restored;
        dropRecord(record);
    } else if (err == EXDEV) {
        visits_.push_back(Visit{i, static_cast<qsizetype>(across_.size())});
        across_.push_back(VolumeMove{stored, destination, {}, false, {}, {}});
        acrossMarks_.push_back(-1);
        pending_.insert(destination);
    } else {
        ++outcome_.skipped;
        visits_.push_back(Visit{i, -1});
        say(QStringLiteral("还原 %1 失败：%2").arg(ItemName(record), PosixError(err).description));
    }
}

// The stored item is gone. From a folder that is still there: the user
// deleted or moved it, and the record is dropped. A folder that is missing
// as a whole is more likely an unplugged disk; its records wait for it to
// come back.
void RestoreRun::visitGone(qsizetype i) {
    const ManifestElement &record = records_.at(i);
    ++outcome_.skipped;
    const QString storedPath = record.storedPath();
    const QString folder = DeletingLastPathComponent(storedPath);
    if (folder.isEmpty() || IsDirectory(folder)) {
        dropRecord(record);
        return;
    }
    visits_.push_back(Visit{i, -1});
    say(QStringLiteral("跳过 %1：存放文件夹 %2 不存在（磁盘可能未连接），记录已保留")
            .arg(VisibleName(LastPathComponent(storedPath)), VisibleName(folder)));
}

// Numbered from here: the name itself is taken. A numbered name another
// program took meanwhile is numbered anew, a few times. Gives what the last
// try said.
int RestoreRun::numberedMove(const ManifestElement &record, const QByteArray &stored,
                             QByteArray *destination, int err) {
    const auto taken = [this](const QByteArray &path) {
        return pending_.holds(path) || EntryExists(path);
    };
    for (int round = 0;
         round <= RenumberRounds && (err == EEXIST || (err == EXDEV && taken(*destination)));
         ++round) {
        const QString wanted = record.originalPath();
        *destination = NameBytes(UniquePath(wanted, [&wanted, &taken](const QString &path) {
            return path == wanted || taken(NameBytes(path));
        }));
        err = err == EEXIST ? MoveByRename(stored, *destination) : EXDEV;
    }
    return err;
}

void RestoreRun::carryAcross() {
    if (!across_.empty() && !stopped()) {
        MoveAcrossVolumes(across_, acrossSteps());
        progress_.copying.clear();
    }
}

VolumeMoveSteps RestoreRun::acrossSteps() {
    return VolumeMoveSteps{[this](const std::vector<const VolumeMove *> &moves, Error *error) {
                               return journalAcross(moves, false, error);
                           },
                           [this](const std::vector<const VolumeMove *> &moves, Error *error) {
                               return journalAcross(moves, true, error);
                           },
                           [this](const VolumeMove &move, qint64 done, qint64 size) {
                               progress_.copying = LastPathComponent(NameText(move.from));
                               progress_.copiedBytes = done;
                               progress_.totalBytes = size;
                               report();
                               return !stopped();
                           }};
}

bool RestoreRun::journalAcross(const std::vector<const VolumeMove *> &moves, bool placed,
                               Error *error) {
    if (journal() == nullptr) {
        return true;
    }
    for (const VolumeMove *move : moves) {
        const auto k = static_cast<size_t>(move - across_.data());
        if (placed) {
            journal_->restorePlaced(acrossMarks_[k]);
        } else {
            acrossMarks_[k] = journal_->restoreCopying(move->from, move->to, move->temporary);
        }
    }
    return journal_->sync(error);
}

// The group's visits in the order made: a move across volumes that was made
// drops its record; every other record is kept.
void RestoreRun::settle() {
    for (const Visit &visit : visits_) {
        const ManifestElement &record = records_.at(visit.record);
        if (visit.across >= 0) {
            const VolumeMove &move = across_[static_cast<size_t>(visit.across)];
            if (move.moved) {
                ++outcome_.restored;
                dropRecord(record);
                MoveReport moveReport{move.attributesNotKept};
                if (!moveReport.attributesNotKept.isEmpty()) {
                    say(AttributesNotKeptMessage(ItemName(record), moveReport));
                }
                continue;
            }
            ++outcome_.skipped;
            // Not made because the run stopped: kept without a line.
            if (move.error.code != 0 && !FailedWith(move.error, ECANCELED)) {
                say(QStringLiteral("还原 %1 失败：%2")
                        .arg(ItemName(record), move.error.description));
            }
        }
        visitedKept_.append(record);
    }
    if (journal_) {
        journal_->flush(nullptr);
    }
}

// A stop leaves the records not yet visited as they were, before the ones
// this run kept.
RestoreOutcome RestoreRun::finish() {
    ReachStep("ran", {});
    outcome_.stopped = next_ >= 0;
    outcome_.retained.reserve(next_ + 1 + visitedKept_.size());
    for (qsizetype k = 0; k <= next_; ++k) {
        outcome_.retained.append(records_.at(k));
    }
    outcome_.retained.append(visitedKept_);
    progress_.done = records_.size();
    report();
    return std::move(outcome_);
}

MoveJournal *RestoreRun::journal() {
    if (!journal_ && !request_.journalPath.isEmpty()) {
        journal_ = std::make_unique<MoveJournal>(request_.journalPath);
    }
    return journal_.get();
}

void RestoreRun::dropRecord(const ManifestElement &record) {
    if (MoveJournal *open = journal()) {
        open->back(record.originalPathUtf8().toByteArray(), record.storedPathUtf8().toByteArray());
    }
}

} // namespace

RestoreOutcome RunRestore(const RestoreRequest &request, const RunSink &sink) {
    return RestoreRun(request, sink).run();
}
