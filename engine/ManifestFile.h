#pragma once
// The manifest file as the program starts, and its mirror beside each save.
// Reading never loses the file: one whose bytes were read and are not a
// manifest is set aside, and one that cannot be read just now is left as it
// is, to be read at the next start. Each save tags the new manifest file
// with a fingerprint of its bytes, so a mirror can be known to hold exactly
// what a set-aside file held; only then does it stand in for that file. A
// mirror holding records that the manifest in force lacks is kept aside,
// never replaced.

#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

// What the start found besides the records.
struct ManifestReadReport {
    // Where a file that held something other than a manifest was kept.
    QString setAsideAs;
    // The mirror whose records stand in for that file, and how many.
    QString recoveredFrom;
    qsizetype recoveredRecords = 0;
    // A file (the manifest or the journal) that is there but could not be
    // read, and why. Nothing was changed, and nothing may be saved over it
    // before a later start has read it.
    QString unreadableFile;
    Error unreadable;
    // Records that the journal of an interrupted run added.
    qsizetype journalRecords = 0;
};

// The manifest file's records, or those of the mirror at mirrorPath (when
// not empty) where the file was set aside and the mirror holds exactly the
// bytes of the latest save. Empty, with report->unreadableFile, when the
// manifest or the journal beside it could not be read.
ManifestStore ReadManifestOrMirror(const QString &path, const QString &mirrorPath,
                                   ManifestReadReport *report);

// Moves the file at path aside to a free "<name>.unreadable-<date>-<time>.json"
// beside it, replacing nothing; the new path, or empty with the cause.
QString SetAside(const QString &path, Error *error);

// The fingerprint of a save's bytes, set on the manifest's temporary file
// before it is synced and takes the file's place: the two reach the disk
// together, a rename (setting aside included) keeps them together, and a
// file damaged in place keeps the fingerprint of the bytes it was written
// with. Where the file system keeps no tags, the file simply has none.
inline constexpr QCryptographicHash::Algorithm FingerprintAlgorithm =
    QCryptographicHash::Blake2b_256;
void TagWithFingerprint(AtomicFileWriter &manifest, const QByteArray &digest);

// Before a save replaces the mirror at mirrorPath: true when it may, as there
// is none, or every record in it is among known, or it was moved aside
// (*keptAs then names where). False when it could not be read or moved: it
// stays as it is and this save writes no mirror.
bool ClearMirrorForSave(const QString &mirrorPath, const ManifestStore &known, QString *keptAs);
