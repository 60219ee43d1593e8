#pragma once
// The restore manifest's file format: a JSON array of records, read leniently
// (anything but an array is an empty manifest) and written pretty-printed,
// atomically, readable by the owner alone.

#include "engine/Error.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace record_key {
inline const QString OriginalPath = QStringLiteral("originalPath");
inline const QString StoredPath = QStringLiteral("storedPath");
inline const QString Name = QStringLiteral("name");
inline const QString MovedAt = QStringLiteral("movedAt");
} // namespace record_key

// The array the bytes hold, every element as parsed; empty for zero bytes,
// invalid JSON or a top level that is not an array. *usable is false when
// the bytes held something that was not a manifest.
QJsonArray ParseManifest(const QByteArray &bytes);
QJsonArray ParseManifest(const QByteArray &bytes, bool *usable);

// A restore record with its four members.
QJsonObject RestoreRecord(const QString &originalPath, const QString &storedPath, qint64 movedAt);

// Pretty-printed UTF-8 JSON of the whole list.
QByteArray EncodeManifest(const QJsonArray &manifest);

// Writes the complete bytes to a temporary file beside path and renames it
// into place, so no reader sees a partial file; the file and its folder are
// synced before it returns true. The folder is not created.
bool WriteFileAtomically(const QString &path, const QByteArray &bytes, Error *error);

// The manifest file's records, ready to use: a file that holds something
// but is not a manifest is set aside (never overwritten), and the moves a
// journal beside it shows completed are added and their interrupted steps
// finished. *journalReplayed tells whether there was a journal, so the caller
// saves; notices receives what the user should be told.
QJsonArray ReadManifestFile(const QString &path, bool *journalReplayed, QStringList *notices);
