#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"
#include "engine/ManifestRecovery.h"
#include "engine/ManifestSaver.h"
#include "engine/PathRules.h"

#include <QFile>
#include <unistd.h>

void OrganizerAppDelegate::loadManifest() {
    bool journalReplayed = false;
    setManifest(ReadManifestFile(manifestPath(), &journalReplayed, &startupNotices_));
    if (journalReplayed) {
        // A run that left its journal may also have left the temporary
        // files its save was writing.
        RemoveStaleTemporaries(manifestPath());
        if (const QString mirror = mirrorPath(); !mirror.isEmpty()) {
            RemoveStaleTemporaries(mirror);
        }
        saveManifest();
    }
}

void OrganizerAppDelegate::saveManifest() {
    Error error;
    const bool saved = ManifestSaver::saveWhole(manifestPath(), mirrorPath(), manifest(), &error);
    manifestSaved(saved, error);
}

QString OrganizerAppDelegate::mirrorPath() const {
    const QString target = ResolveTargetPath(currentTargetPath());
    return target.isEmpty() ? QString() : JoinPath(target, MirrorFileName);
}

void OrganizerAppDelegate::manifestSaved(bool saved, const Error &error) {
    if (saved) {
        // Every journalled move is in the saved records now.
        ::unlink(QFile::encodeName(JournalPathFor(manifestPath())).constData());
    } else {
        appendLog(QStringLiteral("保存还原记录失败：%1").arg(error.description));
    }
    updateSummary();
}
