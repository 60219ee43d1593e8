// The renames of an organize run's batch and what follows them: numbering
// the names that were taken, announcing them again, and carrying the moves
// that must cross volumes. The class and the run loop are in
// engine/OrganizeRun.h and engine/OrganizeRun.cpp.

#include "engine/LogText.h"
#include "engine/OrganizeRun.h"
#include "engine/PathRules.h"

#include <QFile>
#include <cerrno>

namespace organize_detail {
namespace {

// How often a numbered name that another program took between its choice and
// its rename is numbered anew before the item is skipped.
constexpr int RenumberRounds = 3;

// One move's rename; across volumes it fails before it looks at the name,
// so there the name is looked at.
int RenameOne(const PlannedMove &move) {
    int err = MoveByRename(move.from, move.to);
    if (err == EXDEV && EntryExists(move.to)) {
        err = EEXIST;
    }
    return err;
}

} // namespace

// Renames the batch's moves in listing order, each taken as it is made. A
// stop leaves the moves still waiting (numbered, or to cross volumes) where
// they are.
void OrganizeRun::renameBatch(Batch &batch) {
    reserved_.clear();
    numbered_.clear();
    across_.clear();
    acrossPlans_.clear();
    for (size_t i = 0; i < batch.moves.size(); ++i) {
        if (Stopped(request_.stop)) {
            // Announced moves that never happen are told apart at replay by
            // where their items are.
            outcome_.stopped = true;
            outcome_.skipped += static_cast<qint64>(entries_.size() - (batch.start + i)) +
                                static_cast<qint64>(numbered_.size() + across_.size());
            numbered_.clear();
            across_.clear();
            return;
        }
        progress_.done = static_cast<qint64>(batch.start) + static_cast<qint64>(i);
        report();
        const PlannedMove &move = batch.moves[i];
        int err = EEXIST;
        if (move.to.isEmpty()) {
            err = 0;
        } else if (!move.taken && !reserved_.holds(move.to)) {
            err = RenameOne(move);
        }
        take(batch, i, err);
    }
}

// Takes a rename's result at the move's own turn: an entry that stays is
// skipped, and a taken name is numbered here, where every earlier item has
// moved or has its name reserved.
void OrganizeRun::take(Batch &batch, size_t i, int err) {
    const PlannedMove &move = batch.moves[i];
    if (move.to.isEmpty()) {
        ++outcome_.skipped;
        if (move.unrecordable) {
            // Its record could not find it again; leave it where it is.
            say(QStringLiteral("跳过 %1：%2")
                    .arg(VisibleName(move.entry->name()), QStringLiteral("文件名无法记录")));
        }
        return;
    }
    if (err != EEXIST) {
        tried(batch, i, err);
        return;
    }
    number(batch, i);
    numbered_.push_back(i);
}

// Moves on once a move was tried: done, waiting to go across volumes, or
// failed.
void OrganizeRun::tried(Batch &batch, size_t i, int err) {
    PlannedMove &move = batch.moves[i];
    if (err == 0) {
        move.completed = true;
    } else if (err == EXDEV) {
        // Copied with the rest of the batch's, so that one sync makes all
        // their copies durable.
        across_.push_back(VolumeMove{move.from, move.to, {}, false, {}, {}});
        acrossPlans_.push_back(i);
        reserved_.insert(move.to);
    } else {
        skip(move, PosixError(err).description);
    }
}

// Gives a move whose name is taken the first free numbered name that no
// other move of the batch is to take.
void OrganizeRun::number(Batch &batch, size_t i) {
    PlannedMove &move = batch.moves[i];
    const QString wanted = JoinPath(request_.target, move.entry->name());
    move.to = NameBytes(UniquePath(wanted, [&](const QString &path) {
        return path == wanted || reserved_.holds(NameBytes(path)) || EntryExists(path);
    }));
    reserved_.insert(move.to);
}

// Numbered names are announced again before they are tried. One that
// another program took meanwhile is numbered anew, a few times.
void OrganizeRun::renameNumbered(Batch &batch) {
    for (int round = 0; !numbered_.empty() && !announceFailed_; ++round) {
        if (!announceNumbered(batch)) {
            return;
        }
        numbered_ = renameNumberedOnce(batch, round);
    }
}

bool OrganizeRun::announceNumbered(Batch &batch) {
    for (const size_t i : numbered_) {
        batch.moves[i].mark = journal_->begin(batch.moves[i].from, batch.moves[i].to);
    }
    Error error;
    if (journal_->sync(&error)) {
        return true;
    }
    announceFailed_ = true;
    outcome_.skipped += static_cast<qint64>(numbered_.size() + across_.size()) +
                        static_cast<qint64>(entries_.size() - batch.end);
    say(QStringLiteral("无法写入还原记录（%1），已停止整理").arg(error.description));
    across_.clear();
    return false;
}

// The numbered moves' renames; gives back those whose name was taken
// meanwhile, numbered anew.
std::vector<size_t> OrganizeRun::renameNumberedOnce(Batch &batch, int round) {
    std::vector<size_t> takenMeanwhile;
    for (size_t k = 0; k < numbered_.size(); ++k) {
        if (Stopped(request_.stop)) {
            outcome_.stopped = true;
            outcome_.skipped +=
                static_cast<qint64>(numbered_.size() - k + across_.size() + takenMeanwhile.size()) +
                static_cast<qint64>(entries_.size() - batch.end);
            across_.clear();
            return {};
        }
        const size_t i = numbered_[k];
        const int err = MoveByRename(batch.moves[i].from, batch.moves[i].to);
        if (err == EEXIST && round < RenumberRounds) {
            number(batch, i);
            takenMeanwhile.push_back(i);
        } else {
            tried(batch, i, err);
        }
    }
    return takenMeanwhile;
}

// The batch's moves to another volume, made together.
void OrganizeRun::carryAcross(Batch &batch) {
    if (across_.empty()) {
        return;
    }
    MoveAcrossVolumes(across_, acrossSteps(batch));
    progress_.copying.clear();
    for (size_t k = 0; k < across_.size(); ++k) {
        const VolumeMove &move = across_[k];
        PlannedMove &planned = batch.moves[acrossPlans_[k]];
        if (move.moved) {
            planned.completed = true;
            const MoveReport moveReport{move.attributesNotKept};
            if (!moveReport.attributesNotKept.isEmpty()) {
                say(AttributesNotKeptMessage(VisibleName(planned.entry->name()), moveReport));
            }
        } else if (move.error.domain == PosixErrorDomain && move.error.code == ECANCELED &&
                   Stopped(request_.stop)) {
            ++outcome_.skipped; // its copy was stopped; the item stays
            outcome_.stopped = true;
        } else {
            skip(planned, move.error.description);
        }
    }
    if (outcome_.stopped) {
        outcome_.skipped += static_cast<qint64>(entries_.size() - batch.end);
    }
}

// Told of each step of the moves across volumes: their lines in the journal,
// and the progress of their copies.
VolumeMoveSteps OrganizeRun::acrossSteps(Batch &batch) {
    const auto planned = [this, &batch](const VolumeMove &move) -> const PlannedMove & {
        return batch.moves[acrossPlans_[static_cast<size_t>(&move - across_.data())]];
    };
    return VolumeMoveSteps{
        [this, planned](const std::vector<const VolumeMove *> &moves, Error *error) {
            for (const VolumeMove *move : moves) {
                journal_->copying(planned(*move).mark, move->temporary);
            }
            return journal_->sync(error);
        },
        [this, planned](const std::vector<const VolumeMove *> &moves, Error *error) {
            for (const VolumeMove *move : moves) {
                journal_->placed(planned(*move).mark);
            }
            return journal_->sync(error);
        },
        [this, planned](const VolumeMove &move, qint64 copied, qint64 size) {
            progress_.copying = planned(move).entry->name();
            progress_.copiedBytes = copied;
            progress_.totalBytes = size;
            report();
            return !Stopped(request_.stop);
        }};
}

void OrganizeRun::skip(const PlannedMove &move, const QString &why) {
    ++outcome_.skipped;
    say(QStringLiteral("跳过 %1：%2").arg(VisibleName(move.entry->name()), why));
}

} // namespace organize_detail
