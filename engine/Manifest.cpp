#include "engine/Manifest.h"

#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

QJsonArray ParseManifest(const QByteArray &bytes) {
    if (bytes.isEmpty()) {
        return {};
    }
    QJsonParseError status{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &status);
    if (status.error != QJsonParseError::NoError || !document.isArray()) {
        return {};
    }
    return document.array();
}

QByteArray EncodeManifest(const QJsonArray &manifest) {
    return QJsonDocument(manifest).toJson(QJsonDocument::Indented);
}

bool WriteFileAtomically(const QString &path, const QByteArray &bytes, Error *error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        SetError(error, Error{PosixErrorDomain, file.error(), file.errorString()});
        return false;
    }
    // The records name every moved item: keep them private to the user.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        SetError(error, Error{PosixErrorDomain, file.error(), file.errorString()});
        return false;
    }
    return true;
}

void OrganizerAppDelegate::loadManifest() {
    QFile file(manifestPath());
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) {
        bytes = file.readAll();
    }
    setManifest(ParseManifest(bytes));
}

void OrganizerAppDelegate::saveManifest() {
    const QByteArray bytes = EncodeManifest(manifest());
    WriteFileAtomically(manifestPath(), bytes, nullptr);
    const QString target = ResolveTargetPath(currentTargetPath());
    if (!target.isEmpty()) {
        WriteFileAtomically(JoinPath(target, MirrorFileName), bytes, nullptr);
    }
    updateSummary();
}
