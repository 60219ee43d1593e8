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

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <system_error>
#include <vector>

namespace {

// How many moves one synced journal write announces, where planning them
// together gives each the name it would get on its own turn. Each batch is
// twice the one before, up to the largest: a long run pays a handful of
// syncs, and a short one plans little ahead.
constexpr size_t FirstBatch = 64;
constexpr size_t LargestBatch = 4096;
// A batch at least this large is renamed by two threads, each a half: a
// rename's path walks and checks then overlap, while the file system takes
// the renames themselves one at a time.
constexpr size_t SplitBatch = 64;
// How often a numbered name that another program took between its choice and
// its rename is numbered anew before the item is skipped.
constexpr int RenumberRounds = 3;

struct PlannedMove {
    const DirectoryEntry *entry;
    QByteArray from;           // in the file-name encoding, which is UTF-8 for a name that is text
    QByteArray to;             // empty for an entry that stays
    bool unrecordable = false; // stays because its name is not text
    bool taken = false;        // its own name is known to be taken
    bool completed = false;    // moved
    bool attempted = false;    // its rename was tried, when a batch is split
    int result = 0;            // ... and what it said
    MoveJournal::Mark mark = -1;
};

// Whether a batch's renames may be made in any order and give what they give
// one after the other: none of its names is a numbered form of another, so
// no name numbered at its own turn could have been taken by a later item.
bool OrderFree(const std::vector<PlannedMove> &plan) {
    QStringList names;
    names.reserve(static_cast<qsizetype>(plan.size()));
    for (const PlannedMove &move : plan) {
        names.append(move.entry->name());
    }
    return !HoldsNumberedFormOfAnother(names);
}

// A folder's path with the separator that names inside it follow.
QByteArray FolderPrefix(const QString &folder) {
    QByteArray prefix = NameBytes(folder);
    if (!prefix.endsWith('/')) {
        prefix += '/';
    }
    return prefix;
}

// A path made of a folder's prefix and a name, in one allocation.
QByteArray Joined(const QByteArray &prefix, const QByteArray &name) {
    QByteArray path(prefix.size() + name.size(), Qt::Uninitialized);
    std::memcpy(path.data(), prefix.constData(), static_cast<size_t>(prefix.size()));
    std::memcpy(path.data() + prefix.size(), name.constData(), static_cast<size_t>(name.size()));
    return path;
}

// The path with its links resolved, as the system's own standardisation
// does; the path itself where it cannot be (a folder that is missing).
QString RealPath(const QString &path) {
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? path : real;
}

// The Desktop can resolve to the home folder itself (an XDG fallback, or a
// link to it); organizing it would sweep the whole home folder into the
// target.
bool ListDesktop(const QString &desktop, std::vector<DirectoryEntry> *entries, Error *error) {
    const QString home = StandardizePath(QDir::homePath());
    if (PathIsEqualOrInside(home, desktop) ||
        PathIsEqualOrInside(RealPath(home), RealPath(desktop))) {
        SetError(error, Error{AppName, DesktopIsHome,
                              QStringLiteral(
                                  "桌面文件夹就是用户主文件夹（%1），已停止以免整理整个主文件夹")
                                  .arg(VisibleName(desktop))});
        return false;
    }
    return ListDirectory(desktop, entries, error);
}

// Runs work on a thread of its own, or at once where none can be started.
std::future<bool> Launch(const std::function<bool()> &work) {
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        std::promise<bool> done;
        done.set_value(work());
        return done.get_future();
    }
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
    const QByteArray targetBytes = NameBytes(target);
    std::vector<PlannedMove> plan;
    // Names the batch will take that are not taken yet: the numbered names
    // chosen so far, and the names of moves across volumes still to come.
    ReservedNames reserved;
    std::vector<size_t> numbered;    // the batch's moves whose own name was taken
    std::vector<VolumeMove> across;  // the batch's moves to another volume
    std::vector<size_t> acrossPlans; // ... and where each is in the plan
    outcome.records.reserve(static_cast<qsizetype>(entries.size()));

    const auto acrossPlan = [&](const VolumeMove &move) -> PlannedMove & {
        return plan[acrossPlans[static_cast<size_t>(&move - across.data())]];
    };
    // Told of each step of the moves across volumes; made once for the run.
    const VolumeMoveSteps steps{
        [&](const std::vector<const VolumeMove *> &moves, Error *stepError) {
            for (const VolumeMove *move : moves) {
                journal.copying(acrossPlan(*move).mark, move->temporary);
            }
            return journal.sync(stepError);
        },
        [&](const std::vector<const VolumeMove *> &moves, Error *stepError) {
            for (const VolumeMove *move : moves) {
                journal.placed(acrossPlan(*move).mark);
            }
            return journal.sync(stepError);
        },
        [&](const VolumeMove &move, qint64 copied, qint64 size) {
            progress.copying = acrossPlan(move).entry->name();
            progress.copiedBytes = copied;
            progress.totalBytes = size;
            report();
            return !Stopped(request.stop);
        }};
    const auto skip = [&](const PlannedMove &move, const QString &why) {
        ++outcome.skipped;
        say(QStringLiteral("跳过 %1：%2").arg(VisibleName(move.entry->name()), why));
    };
    // Gives a move whose name is taken the first free numbered name that
    // no other move of the batch is to take.
    const auto number = [&](size_t i) {
        PlannedMove &move = plan[i];
        const QString wanted = JoinPath(target, move.entry->name());
        move.to = NameBytes(UniquePath(wanted, [&](const QString &path) {
            return path == wanted || reserved.holds(NameBytes(path)) || EntryExists(path);
        }));
        reserved.insert(move.to);
    };
    // Moves on once a move was tried: done, waiting to go across volumes, or
    // failed.
    const auto tried = [&](size_t i, int err) {
        PlannedMove &move = plan[i];
        if (err == 0) {
            move.completed = true;
        } else if (err == EXDEV) {
            // Copied with the rest of the batch's, so that one sync makes
            // all their copies durable.
            across.push_back(VolumeMove{move.from, move.to, {}, false, {}, {}});
            acrossPlans.push_back(i);
            reserved.insert(move.to);
        } else {
            skip(move, PosixError(err).description);
        }
    };

    // Plans the entries from start to end into a plan and announces their
    // moves, synced.
    const auto announce = [&](size_t start, size_t end, std::vector<PlannedMove> *into,
                              bool *orderFree, Error *announceError) {
        into->clear();
        for (size_t i = start; i < end; ++i) {
            const DirectoryEntry &entry = entries[i];
            PlannedMove move{&entry, Joined(desktopPrefix, entry.rawName), QByteArray()};
            // The target inside the item would move the item into itself.
            const bool holdsTarget =
                targetBytes.startsWith(move.from) &&
                (targetBytes.size() == move.from.size() || targetBytes[move.from.size()] == '/');
            move.unrecordable = !entry.hidden && !holdsTarget && !entry.nameIsText;
            if (!entry.hidden && !holdsTarget && entry.nameIsText) {
                // The name is tried first; a taken one is numbered when the
                // rename says so, and announced again before it is tried.
                move.to = Joined(targetPrefix, entry.rawName);
                move.taken = move.to == move.from;
                if (!move.taken) {
                    move.mark = journal.begin(move.from, move.to);
                }
            }
            into->push_back(std::move(move));
        }
        *orderFree = !oneAtATime && into->size() >= SplitBatch && OrderFree(*into);
        return journal.sync(announceError);
    };

    // Writes the done lines and the records of a batch's completed moves, in
    // their order, and hands the records on.
    const auto record = [&](std::vector<PlannedMove> *moves) {
        const qint64 movedAt = QDateTime::currentSecsSinceEpoch();
        ManifestStore records;
        records.reserve(static_cast<qsizetype>(moves->size()));
        for (const PlannedMove &move : *moves) {
            if (move.completed) {
                journal.done(move.mark, movedAt);
                records.append(RestoreRecord(move.from, move.to, movedAt));
                ++outcome.moved;
            }
        }
        if (sink.recorded && !records.isEmpty()) {
            sink.recorded(records);
        }
        outcome.records.append(std::move(records));
        moves->clear();
    };

    // One move's rename; across volumes it fails before it looks at the
    // name, so there the name is looked at.
    const auto renameOne = [](const PlannedMove &move) {
        int err = MoveByRename(move.from, move.to);
        if (err == EXDEV && EntryExists(move.to)) {
            err = EEXIST;
        }
        return err;
    };
    // The current batch's renames, its second half on a helper, each
    // stopping at the stop flag; progress is told from this thread.
    const auto renameSplit = [&](size_t batchStart) {
        std::atomic<size_t> made{0};
        const auto renameHalf = [&](size_t from, size_t to) {
            for (size_t i = from; i < to && !Stopped(request.stop); ++i) {
                PlannedMove &move = plan[i];
                move.result = move.to.isEmpty() ? 0 : move.taken ? EEXIST : renameOne(move);
                move.attempted = true;
                made.fetch_add(1, std::memory_order_relaxed);
            }
            return true;
        };
        const size_t half = plan.size() / 2;
        std::future<bool> second = Launch([&] { return renameHalf(half, plan.size()); });
        for (size_t i = 0; i < half && !Stopped(request.stop); ++i) {
            renameHalf(i, i + 1);
            progress.done = static_cast<qint64>(batchStart) +
                            static_cast<qint64>(made.load(std::memory_order_relaxed));
            report();
        }
        second.get();
    };

    bool announceFailed = false;
    std::vector<PlannedMove> nextPlan;
    std::vector<PlannedMove> recording; // the batch moved before this one
    size_t start = 0;
    size_t end = std::min(entries.size(), batch);
    bool orderFree = false;     // the batch may be split (OrderFree)
    bool nextOrderFree = false; // ... and the next
    bool announced = announce(start, end, &plan, &orderFree, &error);
    while (start < entries.size()) {
        if (!announced) {
            // Nothing moves that could not be recorded: this batch and every
            // entry after it stay on the Desktop.
            outcome.skipped += static_cast<qint64>(entries.size() - start);
            say(QStringLiteral("无法写入还原记录（%1），已停止整理").arg(error.description));
            break;
        }
        ReachStep("announced", NameBytes(request.journalPath));

        // The next batch is planned and announced while this one moves; the
        // journal is the other thread's until then.
        if (!oneAtATime) {
            // Toward the end they shrink again, so that the last batch, whose
            // records the save waits for, is a short one.
            batch = std::min(
                {batch * 2, LargestBatch, std::max(FirstBatch, (entries.size() - end) / 2)});
        }
        const size_t nextStart = end;
        const size_t nextEnd = std::min(entries.size(), nextStart + batch);
        const bool announcing = nextStart < entries.size() && !oneAtATime;
        Error nextError;
        std::future<bool> next;
        if (!oneAtATime) {
            // ... and the batch before is recorded.
            next = Launch([&, announcing, nextStart, nextEnd] {
                const bool synced = !announcing || announce(nextStart, nextEnd, &nextPlan,
                                                            &nextOrderFree, &nextError);
                record(&recording);
                return synced;
            });
        }

        reserved.clear();
        numbered.clear();
        across.clear();
        acrossPlans.clear();
        // Split in two halves, the renames are made first, and what each
        // said is then taken in order, as if it had just been made.
        const bool split = orderFree;
        if (split) {
            renameSplit(start);
        }
        for (size_t i = 0; i < plan.size(); ++i) {
            PlannedMove &move = plan[i];
            if (split ? !move.attempted : Stopped(request.stop)) {
                // Announced moves that never happen are told apart at
                // replay by where their items are.
                outcome.stopped = true;
                if (split) {
                    ++outcome.skipped; // the other half may have gone on
                    continue;
                }
                outcome.skipped += static_cast<qint64>(entries.size() - (start + i));
                break;
            }
            if (!split) {
                progress.done = static_cast<qint64>(start) + static_cast<qint64>(i);
                report();
            }
            if (move.to.isEmpty()) {
                ++outcome.skipped;
                if (move.unrecordable) {
                    // Its record could not find it again; leave it where it is.
                    say(QStringLiteral("跳过 %1：%2")
                            .arg(VisibleName(move.entry->name()),
                                 QStringLiteral("文件名无法记录")));
                }
                continue;
            }
            int err = EEXIST;
            if (split) {
                err = move.result;
            } else if (!move.taken && !reserved.holds(move.to)) {
                err = renameOne(move);
            }
            if (err != EEXIST) {
                tried(i, err);
                continue;
            }
            // Numbered at its own turn: every earlier item has moved or has
            // its name reserved.
            number(i);
            numbered.push_back(i);
        }
        // The journal is this thread's again.
        if (next.valid()) {
            const bool synced = next.get();
            announced = !announcing || synced;
        } else {
            record(&recording);
        }
        if (outcome.stopped) {
            // Their items stay where they are.
            outcome.skipped += static_cast<qint64>(numbered.size() + across.size());
            if (split) {
                outcome.skipped += static_cast<qint64>(entries.size() - end);
            }
            numbered.clear();
            across.clear();
        }
        // Numbered names are announced again before they are tried. One that
        // another program took meanwhile is numbered anew, a few times.
        for (int round = 0; !numbered.empty() && !announceFailed; ++round) {
            for (const size_t i : numbered) {
                plan[i].mark = journal.begin(plan[i].from, plan[i].to);
            }
            if (!journal.sync(&error)) {
                announceFailed = true;
                outcome.skipped += static_cast<qint64>(numbered.size() + across.size()) +
                                   static_cast<qint64>(entries.size() - end);
                say(QStringLiteral("无法写入还原记录（%1），已停止整理").arg(error.description));
                across.clear();
                break;
            }
            std::vector<size_t> takenMeanwhile;
            for (size_t k = 0; k < numbered.size(); ++k) {
                if (Stopped(request.stop)) {
                    outcome.stopped = true;
                    outcome.skipped += static_cast<qint64>(numbered.size() - k + across.size() +
                                                           takenMeanwhile.size()) +
                                       static_cast<qint64>(entries.size() - end);
                    across.clear();
                    takenMeanwhile.clear();
                    break;
                }
                const size_t i = numbered[k];
                const int err = MoveByRename(plan[i].from, plan[i].to);
                if (err == EEXIST && round < RenumberRounds) {
                    number(i);
                    takenMeanwhile.push_back(i);
                } else {
                    tried(i, err);
                }
            }
            numbered = std::move(takenMeanwhile);
        }
        if (!across.empty()) {
            MoveAcrossVolumes(across, steps);
            progress.copying.clear();
            for (size_t k = 0; k < across.size(); ++k) {
                const VolumeMove &move = across[k];
                const PlannedMove &planItem = plan[acrossPlans[k]];
                if (move.moved) {
                    plan[acrossPlans[k]].completed = true;
                    const MoveReport moveReport{move.attributesNotKept};
                    if (!moveReport.attributesNotKept.isEmpty()) {
                        say(AttributesNotKeptMessage(VisibleName(planItem.entry->name()),
                                                     moveReport));
                    }
                } else if (move.error.domain == PosixErrorDomain && move.error.code == ECANCELED &&
                           Stopped(request.stop)) {
                    ++outcome.skipped; // its copy was stopped; the item stays
                    outcome.stopped = true;
                } else {
                    skip(planItem, move.error.description);
                }
            }
            if (outcome.stopped) {
                outcome.skipped += static_cast<qint64>(entries.size() - end);
            }
        }
        // Recorded while the next batch moves, or at the end.
        std::swap(recording, plan);

        if (outcome.stopped || announceFailed || nextStart >= entries.size()) {
            break;
        }
        if (oneAtATime) {
            announced = announce(nextStart, nextEnd, &nextPlan, &nextOrderFree, &nextError);
        }
        if (!announced) {
            error = nextError;
        }
        std::swap(plan, nextPlan);
        orderFree = nextOrderFree;
        start = nextStart;
        end = nextEnd;
    }
    record(&recording);
    ReachStep("ran", targetBytes);
    progress.done = outcome.moved + outcome.skipped;
    report();
    // The lines saying moves finished are a convenience for the replay,
    // which also finds a finished move by where its item is.
    journal.flush(nullptr);
    return outcome;
}
