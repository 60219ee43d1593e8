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

bool MoveItem(const QString &from, const QString &to, Error *error);

namespace move_detail {

// The race-free stand-in for a no-replace rename on file systems without the
// flag: link + unlink for a file; for a folder, claim the name with an
// exclusive mkdir and rename onto the empty claim. Returns 0 or an errno.
int RenameNoReplaceFallback(const QByteArray &from, const QByteArray &to);

// The cross-volume path on its own, so tests can drive it on one volume.
bool MoveAcrossVolumes(const QByteArray &from, const QByteArray &to, Error *error);

// Test seam: called before each entry is copied across volumes, with the
// source entry's path; returning a non-zero errno makes that copy fail.
using CopyFaultHook = std::function<int(const QByteArray &source)>;
void SetCopyFaultHook(CopyFaultHook hook);

} // namespace move_detail
