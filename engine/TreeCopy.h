#pragma once
// The copy of a tree to another volume: the walk over its entries and the
// map that keeps the hard links between them. Each entry is copied by the
// system's half of the move, engine/MovePlatform.h. Used by
// engine/MoveItem.cpp.

#include "engine/Error.h"
#include "engine/MovePlatform.h"

#include <QByteArray>

// The error for an entry that is neither a file, a folder nor a link: a
// pipe, a socket or a device.
Error UnsupportedKind();

// Copies the entry at from, with all a folder holds, to to, where nothing
// may be; names of one file within the tree stay links to one copy. False,
// with the error, when any entry could not be copied, or could not be
// removed from the source once copied (a lock flag, a folder this user may
// not unlink from): the error then names that entry. What was made of the
// copy is left for the caller to remove.
bool CopyTree(const QByteArray &from, const QByteArray &to, CopyContext &context, Error *error);

// The bytes of file data in a tree, for telling how far its copy is.
qint64 DataSize(const QByteArray &path);
