#pragma once
// Makes sure the target folder exists before anything is moved into it.

#include "engine/Error.h"

#include <QString>

// True when path is a folder, creating it with its missing parents when
// nothing is there. An empty path (error code 1) or a non-folder in the way
// (code 2) is refused with the program's own error.
bool PrepareTargetFolder(const QString &path, Error *error);
