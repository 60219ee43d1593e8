#pragma once
// Makes sure the target folder exists before anything is moved into it.

#include "engine/Error.h"

#include <QString>

// True when path is a folder, creating it with its missing parents when
// nothing is there. An empty path (NoTargetChosen) or a non-folder in the way
// (TargetNotAFolder) is refused with the program's own error.
bool PrepareTargetFolder(const QString &path, Error *error);
