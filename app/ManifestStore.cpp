#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"
#include "engine/PathRules.h"

#include <QFile>
#include <unistd.h>

void OrganizerAppDelegate::loadManifest() {
    bool journalReplayed = false;
    setManifest(ReadManifestFile(manifestPath(), &journalReplayed, &startupNotices_));
    if (journalReplayed) {
        saveManifest();
    }
}

void OrganizerAppDelegate::saveManifest() {
    const QByteArray bytes = EncodeManifest(manifest());
    const QString path = manifestPath();
    Error error;
    if (WriteFileAtomically(path, bytes, &error)) {
        // Every journalled move is in the saved records now.
        ::unlink(QFile::encodeName(JournalPathFor(path)).constData());
    } else {
        appendLog(QStringLiteral("保存还原记录失败：%1").arg(error.description));
    }
    const QString target = ResolveTargetPath(currentTargetPath());
    if (!target.isEmpty()) {
        WriteFileAtomically(JoinPath(target, MirrorFileName), bytes, nullptr);
    }
    updateSummary();
}
