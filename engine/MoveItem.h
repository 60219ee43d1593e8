#pragma once
// Moves a file or folder to a new path without ever replacing what is there.
// Within a volume it is one no-replace rename; across volumes it copies under
// a temporary name beside the destination, renames the finished copy into
// place and only then removes the source. On failure the source is untouched
// and no partial copy remains.

#include "engine/Error.h"

#include <QByteArray>
#include <QString>
#include <functional>

// What a cross-volume move tells its journal, each time before the step
// takes effect, so that a run cut short can be finished or undone later.
struct MoveSteps {
    // The temporary name the copy is about to be made under. False stops
    // the move before anything is copied: it could not be recorded.
    std::function<bool(const QByteArray &temporary, Error *error)> copying;
    // The complete copy is in place; the source is about to be removed.
    std::function<void()> placed;
};

bool MoveItem(const QString &from, const QString &to, Error *error,
              const MoveSteps *steps = nullptr);

// The temporary copies are named with this prefix beside their destination.
inline constexpr char TemporaryPrefix[] = ".kestrue-moving-";

// Removes what is left of a moved source: each entry that the copy holds at
// the same relative path with the same type (a file also with the same size
// and, within the 2 s that some file systems keep, the same modification
// time). Entries the copy lacks stay. True when nothing of the source is left.
bool RemoveMovedSource(const QByteArray &source, const QByteArray &copy);

namespace move_detail {

// The race-free stand-in for a no-replace rename on file systems without the
// flag: link + unlink for a file; for a folder, claim the name with an
// exclusive mkdir and rename onto the empty claim. Returns 0 or an errno.
int RenameNoReplaceFallback(const QByteArray &from, const QByteArray &to);

// The cross-volume path on its own, so tests can drive it on one volume.
bool MoveAcrossVolumes(const QByteArray &from, const QByteArray &to, Error *error,
                       const MoveSteps *steps = nullptr);

// Test seam: called before each entry is copied across volumes, with the
// source entry's path; returning a non-zero errno makes that copy fail.
using CopyFaultHook = std::function<int(const QByteArray &source)>;
void SetCopyFaultHook(CopyFaultHook hook);

// Test seam: called once the copy is in place ("placed", with the
// destination) and before each source entry is removed ("remove").
using StepHook = std::function<void(const char *step, const QByteArray &path)>;
void SetStepHook(StepHook hook);

} // namespace move_detail
