#pragma once
// The two moving operations as two functions: an organize pass over the
// Desktop and a restore pass over the records. Each takes a request (paths,
// records, a stop flag) and a sink, and gives back an outcome (the records
// and counts); they know nothing of windows, settings or the saved
// manifest, so they can run on any thread. The sink is called on the run's
// own thread (its records aside). Behind each is a small type whose run
// loop reads as its steps: engine/OrganizeRun.h, engine/RestoreRun.cpp.

#include "engine/Error.h"
#include "engine/Manifest.h"

#include <QString>
#include <atomic>
#include <functional>

struct RunProgress {
    qint64 done = 0;  // items or records handled so far
    qint64 total = 0; // all of them
    // The item being copied to another volume, and how far, when one is.
    QString copying;
    qint64 copiedBytes = 0;
    qint64 totalBytes = 0;
};

struct RunSink {
    // A finished log message, in the order the events happen.
    std::function<void(const QString &message)> message;
    // Called often; the receiver decides how often to show it.
    std::function<void(const RunProgress &progress)> progress;
    // The records a batch of moves added, in order, as soon as they are
    // made, so that they can be saved while the run goes on (organize only).
    // Called on the run's thread or on a helper of it, never two at once.
    std::function<void(const ManifestStore &records)> recorded;
};

struct OrganizeRequest {
    QString desktop;                         // standardised
    QString target;                          // standardised and prepared
    QString journalPath;                     // the write-ahead journal of the run's moves
    const std::atomic<bool> *stop = nullptr; // checked between items and within copies
};

struct OrganizeOutcome {
    bool listed = false;   // false: the Desktop could not be listed
    Error listError;       // why, when it could not
    ManifestStore records; // one per completed move, in listing order
    qint64 moved = 0;
    qint64 skipped = 0;
    bool stopped = false; // the stop flag ended it early
};

// Moves every visible Desktop entry into the target, each to the name free at
// its own turn, journalling each move before it is made.
OrganizeOutcome RunOrganize(const OrganizeRequest &request, const RunSink &sink);

struct RestoreRequest {
    ManifestStore records; // the manifest as it stands
    // The journal of its moves back across volumes; none when empty.
    QString journalPath;
    const std::atomic<bool> *stop = nullptr;
};

struct RestoreOutcome {
    // What the manifest becomes: the records a stop left unvisited, in their
    // order, then those visited and kept (failed, or waiting for a missing
    // folder), newest first.
    ManifestStore retained;
    qint64 restored = 0;
    qint64 skipped = 0;
    bool stopped = false;
};

// Moves recorded items back, newest record first.
RestoreOutcome RunRestore(const RestoreRequest &request, const RunSink &sink);
