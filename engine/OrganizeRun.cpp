#include "engine/OrganizeRun.h"

#include "engine/LogText.h"
#include "engine/PathRules.h"
#include "engine/TestHooks.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cstring>
#include <system_error>

namespace organize_detail {
namespace {

// How many moves one synced journal write announces, where planning them
// together gives each the name it would get on its own turn. Each batch is
// twice the one before, up to the largest: a long run pays a handful of
// syncs, and a short one plans little ahead.
constexpr size_t FirstBatch = 64;
constexpr size_t LargestBatch = 4096;

// Runs work on a thread of its own, or at once where none can be started.
// work is copied, so whatever it is to hand over it takes by reference: a
// thread that cannot start leaves that untouched for the run to do at once.
template <typename Work> auto Launch(const Work &work) -> std::future<decltype(work())> {
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error &) {
        std::promise<decltype(work())> done;
        done.set_value(work());
        return done.get_future();
    }
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

} // namespace

OrganizeRun::OrganizeRun(const OrganizeRequest &request, const RunSink &sink)
    : request_(request), sink_(sink), oneAtATime_(request.desktop == request.target),
      desktopPrefix_(FolderPrefix(request.desktop)), targetPrefix_(FolderPrefix(request.target)),
      targetBytes_(NameBytes(request.target)), batchSize_(oneAtATime_ ? 1 : FirstBatch) {}

// A batch at a time: planned and announced; renamed; its taken names
// numbered; the rest carried across volumes; recorded while the next one
// moves. Then the last records, and the journal's closing lines.
OrganizeOutcome OrganizeRun::run() {
    if (!list()) {
        return std::move(outcome_);
    }
    journal_ = std::make_unique<MoveJournal>(request_.journalPath);
    Batch batch = firstBatch();
    announce(*journal_, &batch);
    while (batch.start < entries_.size()) {
        if (!batch.announced) {
            stopUnannounced(batch);
            break;
        }
        ReachStep("announced", NameBytes(request_.journalPath));
        // While this batch is renamed, the next is announced and the one
        // before recorded, on a helper that has the journal until then.
        JournalHandover handover{nullptr, batchAfter(batch), std::move(moved_)};
        std::future<JournalHandback> helper = handOver(handover);
        renameBatch(batch);
        Batch next = takeBack(std::move(helper), handover);
        renameNumbered(batch);
        carryAcross(batch);
        moved_ = std::move(batch.moves); // recorded while the next batch moves
        if (outcome_.stopped || announceFailed_ || next.start >= entries_.size()) {
            break;
        }
        if (oneAtATime_) {
            announce(*journal_, &next); // its names are free only now
        }
        batch = std::move(next);
    }
    keep(record(*journal_, moved_));
    return finish();
}

bool OrganizeRun::list() {
    if (!ListDesktop(request_.desktop, &entries_, &outcome_.listError)) {
        return false;
    }
    outcome_.listed = true;
    progress_.total = static_cast<qint64>(entries_.size());
    outcome_.records.reserve(static_cast<qsizetype>(entries_.size()));
    return true;
}

Batch OrganizeRun::firstBatch() const {
    Batch batch;
    batch.end = std::min(entries_.size(), batchSize_);
    return batch;
}

Batch OrganizeRun::batchAfter(const Batch &batch) {
    if (!oneAtATime_) {
        // Toward the end they shrink again, so that the last batch, whose
        // records the save waits for, is a short one.
        batchSize_ = std::min({batchSize_ * 2, LargestBatch,
                               std::max(FirstBatch, (entries_.size() - batch.end) / 2)});
    }
    Batch next;
    next.start = batch.end;
    next.end = std::min(entries_.size(), next.start + batchSize_);
    return next;
}

// Plans the batch's entries and announces their moves, synced. Moves are
// announced before any of them is made; an announced move that never
// happened is told apart at replay by where the item is.
void OrganizeRun::announce(MoveJournal &journal, Batch *batch) const {
    batch->moves.reserve(batch->end - batch->start);
    for (size_t i = batch->start; i < batch->end; ++i) {
        const DirectoryEntry &entry = entries_[i];
        PlannedMove move{&entry, Joined(desktopPrefix_, entry.rawName), QByteArray()};
        // The target inside the item would move the item into itself.
        const bool holdsTarget =
            targetBytes_.startsWith(move.from) &&
            (targetBytes_.size() == move.from.size() || targetBytes_[move.from.size()] == '/');
        move.unrecordable = !entry.hidden && !holdsTarget && !entry.nameIsText;
        if (!entry.hidden && !holdsTarget && entry.nameIsText) {
            // The name is tried first; a taken one is numbered when the
            // rename says so, and announced again before it is tried.
            move.to = Joined(targetPrefix_, entry.rawName);
            move.taken = move.to == move.from;
            if (!move.taken) {
                move.mark = journal.begin(move.from, move.to);
            }
        }
        batch->moves.push_back(std::move(move));
    }
    batch->announced = journal.sync(&batch->announceError);
}

// While a batch moves, a helper announces the next one and records the one
// before: it is given the journal, and this thread has none until it takes
// it back. One at a time there is no helper (the next batch's names are
// free only once this one moved).
std::future<JournalHandback> OrganizeRun::handOver(JournalHandover &handover) {
    if (oneAtATime_) {
        return {};
    }
    handover.journal = std::move(journal_);
    return Launch([this, &handover] { return announceAndRecord(std::move(handover)); });
}

// The helper's part. It reads nothing of the run's that changes.
JournalHandback OrganizeRun::announceAndRecord(JournalHandover handover) const {
    JournalHandback back{std::move(handover.journal), std::move(handover.next), {}};
    if (back.next.start < back.next.end) {
        announce(*back.journal, &back.next);
    } else {
        back.next.announced = true; // the end: nothing to announce
    }
    back.records = record(*back.journal, handover.moved);
    return back;
}

// The journal is this thread's again, and the records of the batch before
// are the outcome's.
Batch OrganizeRun::takeBack(std::future<JournalHandback> helper, JournalHandover &handover) {
    if (!helper.valid()) {
        keep(record(*journal_, handover.moved));
        return std::move(handover.next);
    }
    JournalHandback back = helper.get();
    journal_ = std::move(back.journal);
    keep(std::move(back.records));
    return std::move(back.next);
}

// Writes the done lines and the records of a batch's completed moves, in
// their order, and hands the records on.
ManifestStore OrganizeRun::record(MoveJournal &journal,
                                  const std::vector<PlannedMove> &moves) const {
    const qint64 movedAt = QDateTime::currentSecsSinceEpoch();
    ManifestStore records;
    records.reserve(static_cast<qsizetype>(moves.size()));
    for (const PlannedMove &move : moves) {
        if (move.completed) {
            journal.done(move.mark, movedAt);
            records.append(RestoreRecord(move.from, move.to, movedAt));
        }
    }
    if (sink_.recorded && !records.isEmpty()) {
        sink_.recorded(records);
    }
    return records;
}

void OrganizeRun::keep(ManifestStore records) {
    outcome_.moved += records.size();
    outcome_.records.append(std::move(records));
}

// Nothing moves that could not be recorded: this batch and every entry after
// it stay on the Desktop.
void OrganizeRun::stopUnannounced(const Batch &batch) {
    outcome_.skipped += static_cast<qint64>(entries_.size() - batch.start);
    say(QStringLiteral("无法写入还原记录（%1），已停止整理").arg(batch.announceError.description));
}

OrganizeOutcome OrganizeRun::finish() {
    ReachStep("ran", targetBytes_);
    progress_.done = outcome_.moved + outcome_.skipped;
    report();
    // The lines saying moves finished are a convenience for the replay,
    // which also finds a finished move by where its item is.
    journal_->flush(nullptr);
    return std::move(outcome_);
}

void OrganizeRun::say(const QString &message) const {
    if (sink_.message) {
        sink_.message(message);
    }
}

void OrganizeRun::report() const {
    if (sink_.progress) {
        sink_.progress(progress_);
    }
}

} // namespace organize_detail

OrganizeOutcome RunOrganize(const OrganizeRequest &request, const RunSink &sink) {
    return organize_detail::OrganizeRun(request, sink).run();
}
