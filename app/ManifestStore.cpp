#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"
#include "engine/ManifestRecovery.h"
#include "engine/PathRules.h"

#include <QFile>
#include <system_error>
#include <thread>
#include <unistd.h>

void OrganizerAppDelegate::loadManifest() {
    bool journalReplayed = false;
    setManifest(ReadManifestFile(manifestPath(), &journalReplayed, &startupNotices_));
    if (journalReplayed) {
        saveManifest();
    }
}

void OrganizerAppDelegate::saveManifest() {
    const QByteArray bytes = manifest().encode();
    // The mirror is written on a thread of its own meanwhile, so the two
    // files' syncs overlap; without a thread it is written after.
    const QString target = ResolveTargetPath(currentTargetPath());
    const auto writeMirror = [bytes, target] {
        if (!target.isEmpty()) {
            WriteFileAtomically(JoinPath(target, MirrorFileName), bytes, nullptr);
        }
    };
    std::thread mirror;
    try {
        mirror = std::thread(writeMirror);
    } catch (const std::system_error &) {
        writeMirror();
    }
    const QString path = manifestPath();
    Error error;
    if (WriteFileAtomically(path, bytes, &error)) {
        // Every journalled move is in the saved records now.
        ::unlink(QFile::encodeName(JournalPathFor(path)).constData());
    } else {
        appendLog(QStringLiteral("保存还原记录失败：%1").arg(error.description));
    }
    if (mirror.joinable()) {
        mirror.join();
    }
    updateSummary();
}
