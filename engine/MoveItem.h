#pragma once
// Moves a file or folder to a new path without ever replacing what is there.
// Within a volume it is one no-replace rename; across volumes it copies under
// a temporary name beside the destination, renames the finished copy into
// place and only then removes the source. On failure the source is untouched
// and no partial copy remains.
//
// A copy keeps what a rename keeps: hard links between entries of the moved
// tree, holes in sparse files, extended attributes (ACLs among them), owner
// where allowed, mode and times.

#include "engine/Error.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

// What a successful move could not carry over.
struct MoveReport {
    // Extended attributes the target refused, each name once, in the order
    // met. The item moved without them.
    QStringList attributesNotKept;
};

// report, when given, is cleared first and filled on success.
bool MoveItem(const QString &from, const QString &to, Error *error, MoveReport *report = nullptr);

// The log line for an item that moved without some attributes, name being
// the item's name as the run's other lines show it.
QString AttributesNotKeptMessage(const QString &name, const MoveReport &report);

namespace move_detail {

// The race-free stand-in for a no-replace rename on file systems without the
// flag: link + unlink for a file; for a folder, claim the name with an
// exclusive mkdir and rename onto the empty claim. Returns 0 or an errno.
int RenameNoReplaceFallback(const QByteArray &from, const QByteArray &to);

// The cross-volume path on its own, so tests can drive it on one volume.
bool MoveAcrossVolumes(const QByteArray &from, const QByteArray &to, Error *error,
                       MoveReport *report = nullptr);

// Test seam: called before each entry is copied across volumes, with the
// source entry's path; returning a non-zero errno makes that copy fail.
using CopyFaultHook = std::function<int(const QByteArray &source)>;
void SetCopyFaultHook(CopyFaultHook hook);

// Test seam: called before each extended attribute is written to a copy,
// with the copy's path and the attribute's name; a non-zero errno is taken
// as the target's refusal of that attribute. Not consulted where the
// system's own copier writes the attributes (macOS).
using AttributeFaultHook = std::function<int(const QByteArray &target, const char *name)>;
void SetAttributeFaultHook(AttributeFaultHook hook);

} // namespace move_detail
