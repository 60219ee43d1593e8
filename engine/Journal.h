#pragma once
// The write-ahead journal of the runs: for organize one line before each move
// and one after it succeeds; for a move across volumes (either way) the
// temporary name of its copy and the moment the copy is in place. A line
// that announces a change is synced to the disk before the change is made,
// so neither a killed process nor a power cut loses it. Replayed at the next
// start when a run ended before its manifest was safely saved; removed once
// it is. It records nothing else.
//
// Each line is a JSON object, a tab and a checksum of the object's text, so
// that a line cut short or overwritten is never read as another. A line
// that names a move refers to the line that began it by that line's place
// in the file, its mark, rather than repeating its paths.
//
// A journal kept because a save failed is appended to by the next runs.
// Each run's lines start with a line of their own, and lines of different
// runs never pair: a run is replayed on its own terms, after those before
// it. A restore writes a line for each record it brings back or drops, so
// that the replay drops that record too, though an earlier run moved it.
//
// Its lines are written and read in engine/Journal.cpp; what the disk says
// of a journalled move, and finishing one, in engine/JournalMoves.cpp.

#include "engine/Error.h"

#include <QByteArray>
#include <QString>
#include <vector>

// The journal's path beside the manifest file.
QString JournalPathFor(const QString &manifestPath);

class MoveJournal {
public:
    // Where a line starts in the file: how later lines refer to it.
    using Mark = qint64;

    // Opens (creating, owner-only) the journal for appending. A journal that
    // cannot be opened records nothing, and every flush with lines to write
    // then fails with the reason it could not be opened.
    explicit MoveJournal(const QString &path);
    ~MoveJournal();
    MoveJournal(const MoveJournal &) = delete;
    MoveJournal &operator=(const MoveJournal &) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Lines are held and written together by flush or sync, so a batch of
    // moves costs one write: the line announcing a move must be synced
    // before the move is made; the line saying it succeeded may wait.
    // Paths are given as text or as their UTF-8. A move begun again from
    // the same place, under another name, replaces the one begun before
    // unless that one finished (its name was found taken).
    Mark begin(const QString &from, const QString &to) { return begin(from.toUtf8(), to.toUtf8()); }
    Mark begin(const QByteArray &from, const QByteArray &to);
    // A move across volumes: the temporary name its copy is made under (so
    // a half copy can be removed later), then the moment the complete copy
    // is in place (so a half-removed source can be finished later). Both
    // are to be synced before the step they announce.
    void copying(Mark move, const QByteArray &temporary);
    void placed(Mark move);
    void done(Mark move, qint64 movedAt);
    // A restore's move back across volumes, from the stored item to its
    // place on the Desktop: the same two steps, told apart at replay, where
    // they finish the move but add no record.
    Mark restoreCopying(const QByteArray &from, const QByteArray &to, const QByteArray &temporary);
    void restorePlaced(Mark move);
    // A restore brought the item of the record (original, stored) back, or
    // found it gone, and dropped the record. Written for the replay should
    // the restore's save fail; it announces nothing, so need not be synced.
    void back(const QByteArray &original, const QByteArray &stored);
    // False, with the cause, when the held lines could not all be written.
    // After a failure nothing more is written, so a cut line is never
    // followed by another that would be read as part of it.
    bool flush(Error *error); // also when the journal is closed
    // Flushes, then syncs the journal's data to the disk: what a line
    // announces may only happen once this returns true.
    bool sync(Error *error);

private:
    // The run's opening line before its first.
    Mark append(const char *op, Mark move, QByteArrayView from, QByteArrayView to,
                const qint64 *movedAt, QByteArrayView temporary);
    Mark appendLine(const char *op, Mark move, QByteArrayView from, QByteArrayView to,
                    const qint64 *movedAt, QByteArrayView temporary);

    QByteArray path_;
    int fd_ = -1;
    bool created_ = false;   // its folder not yet synced since it was made
    bool runOpened_ = false; // this run's first line is written
    int failure_ = 0;        // errno of the open or write that failed
    qint64 written_ = 0;     // the file's size as this journal has written it
    QByteArray pending_;
};

struct JournalMove {
    QString from;
    QString to;
    bool done = false;
    qint64 movedAt = 0;
    QString temporary;      // the copy's temporary path, for a move across volumes
    bool placed = false;    // the complete copy reached its destination
    bool restoring = false; // a restore's move back, not an organize move
    // A restore dropped the record (from: original path, to: stored path):
    // no move, a record to forget.
    bool back = false;
};

// The moves the journal begins, and the records restores dropped, in order,
// each once, with whether a line says it finished. Lines pair only with
// lines of their own run. Lines that do not parse or whose checksum fails (a
// write cut short, a line overwritten) are passed over. Empty when there is
// no journal; *exists tells whether there was one.
std::vector<JournalMove> ReadJournal(const QString &path, bool *exists);

// Whether a journalled move took place. Only what is on the disk says so:
// the item is at its destination, and
// - moved across volumes, its copy left its temporary name for its place
//   (a placed line says so, or the temporary name is gone), and what is left
//   at its source is the item that was copied (a placed line whose sync
//   failed had its copy taken away again);
// - or, moved within a volume, a line says it finished, or it is no longer
//   at its source, or both names are one file (the link of a move by link
//   and unlink).
bool MoveCompleted(const JournalMove &move);

struct FinishedMove {
    bool completed = false; // MoveCompleted, as it was before finishing
    QString leftOver;       // a source left standing with entries the copy lacks
};

// Finishes what a killed run left of a move: a half-made temporary copy is
// removed; for a completed move, what remains of the source is removed where
// the destination holds the same entry; for a move that never happened, the
// claim on its name that a killed move onto a volume without links left is
// removed when it is provably this program's.
FinishedMove FinishInterruptedMove(const JournalMove &move);
