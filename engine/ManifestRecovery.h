#pragma once
// The manifest file as the program starts: read, set aside when it cannot be
// used, and completed from the journal that a run cut short left beside it.
// It uses the journal and the move to finish that run's steps, so it stands
// above them and the manifest, which know nothing of it.

#include "engine/Manifest.h"
#include "engine/ManifestFile.h"

#include <QString>
#include <QStringList>

// The manifest file's records, ready to use: a file that holds something
// but is not a manifest is set aside (never overwritten), its place taken by
// the mirror at mirrorPath where that is as new (engine/ManifestFile.h), and
// the moves a journal beside it shows completed are added and their
// interrupted steps finished. *journalReplayed tells whether there was a
// journal, so the caller saves; notices receives what the user should be
// told, and report, when given, what else was found.
ManifestStore ReadManifestFile(const QString &path, bool *journalReplayed, QStringList *notices,
                               const QString &mirrorPath = QString(),
                               ManifestReadReport *report = nullptr);
