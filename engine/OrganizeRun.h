#pragma once
// An organize run as a type of its own, behind RunOrganize (engine/Runs.h):
// the request and the listing in, the outcome out, and what a run holds
// between its steps as named members. The Desktop's entries are taken in
// batches. Each batch is planned and announced in the journal with one
// synced write; renamed in listing order; its taken names numbered and
// announced again; the rest carried to another volume;
// and recorded while the next batch moves. The journal is the helper's
// while it announces and records: it is handed the journal and hands it
// back (JournalHandover, JournalHandback).
//
// OrganizeRun.cpp holds the run loop and the steps around the renames;
// OrganizeRename.cpp the renames, the numbering and the moves across
// volumes.

#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/ReservedNames.h"
#include "engine/Runs.h"

#include <QByteArray>
#include <QString>
#include <atomic>
#include <future>
#include <memory>
#include <vector>

namespace organize_detail {

struct PlannedMove {
    const DirectoryEntry *entry;
    QByteArray from;           // in the file-name encoding, which is UTF-8 for a name that is text
    QByteArray to;             // empty for an entry that stays
    bool unrecordable = false; // stays because its name is not text
    bool taken = false;        // its own name is known to be taken
    bool completed = false;    // moved
    MoveJournal::Mark mark = -1;
};

// Entries start to end of the listing, planned together and announced with
// one synced write.
struct Batch {
    size_t start = 0;
    size_t end = 0;
    std::vector<PlannedMove> moves;
    bool announced = false; // its moves' lines are on the disk
    Error announceError;    // why they are not
};

// What the helper is given while a batch moves: the journal, the next batch
// to plan and announce (none when its range is empty), and the moves of the
// batch before, to record.
struct JournalHandover {
    std::unique_ptr<MoveJournal> journal;
    Batch next;
    std::vector<PlannedMove> moved;
};

// What it hands back: the journal, the next batch as announced, and the
// records of the batch before.
struct JournalHandback {
    std::unique_ptr<MoveJournal> journal;
    Batch next;
    ManifestStore records;
};

inline bool Stopped(const std::atomic<bool> *stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

class OrganizeRun {
public:
    OrganizeRun(const OrganizeRequest &request, const RunSink &sink);
    OrganizeRun(const OrganizeRun &) = delete;
    OrganizeRun &operator=(const OrganizeRun &) = delete;

    OrganizeOutcome run();

private:
    // Steps of the run, in the order they come (OrganizeRun.cpp).
    bool list();
    Batch firstBatch() const;
    Batch batchAfter(const Batch &batch);
    void announce(MoveJournal &journal, Batch *batch) const;
    std::future<JournalHandback> handOver(JournalHandover &handover);
    JournalHandback announceAndRecord(JournalHandover handover) const;
    Batch takeBack(std::future<JournalHandback> helper, JournalHandover &handover);
    ManifestStore record(MoveJournal &journal, const std::vector<PlannedMove> &moves) const;
    void keep(ManifestStore records);
    void stopUnannounced(const Batch &batch);
    OrganizeOutcome finish();

    // The renames of a batch and what follows them (OrganizeRename.cpp).
    void renameBatch(Batch &batch);
    void take(Batch &batch, size_t i, int err);
    void tried(Batch &batch, size_t i, int err);
    void number(Batch &batch, size_t i);
    void renameNumbered(Batch &batch);
    bool announceNumbered(Batch &batch);
    std::vector<size_t> renameNumberedOnce(Batch &batch, int round);
    void carryAcross(Batch &batch);
    VolumeMoveSteps acrossSteps(Batch &batch);
    void skip(const PlannedMove &move, const QString &why);
    void say(const QString &message) const;
    void report() const;

    const OrganizeRequest &request_;
    const RunSink &sink_;
    // Set by list, then read by both threads.
    std::vector<DirectoryEntry> entries_;
    // When the target is the Desktop itself, each move frees the name the
    // item leaves; only then can a later item's free name depend on an
    // earlier move, so only then are names chosen one move at a time, and
    // no helper announces ahead.
    const bool oneAtATime_;
    // Paths are put together as bytes from the names as listed: an item
    // costs no conversion unless its name is taken.
    const QByteArray desktopPrefix_;
    const QByteArray targetPrefix_;
    const QByteArray targetBytes_;

    // The run's own, on its thread.
    OrganizeOutcome outcome_;
    RunProgress progress_;
    size_t batchSize_;
    // Keeps every move restorable should the process die or the power fail
    // before the save. Null while the helper has it.
    std::unique_ptr<MoveJournal> journal_;
    std::vector<PlannedMove> moved_; // the batch moved before this one, to record
    // Names the batch will take that are not taken yet: the numbered names
    // chosen so far, and the names of moves across volumes still to come.
    ReservedNames reserved_;
    std::vector<size_t> numbered_;    // the batch's moves whose own name was taken
    std::vector<VolumeMove> across_;  // the batch's moves to another volume
    std::vector<size_t> acrossPlans_; // ... and where each is in the batch
    bool announceFailed_ = false;     // a numbered name's line could not be synced
};

} // namespace organize_detail
