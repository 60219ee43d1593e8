#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/ManifestFile.h"
#include "engine/ManifestRecovery.h"
#include "engine/ManifestSaver.h"
#include "engine/PathRules.h"

#include <QFile>
#include <QPlainTextEdit>
#include <unistd.h>

namespace {

// What the start found about the files, told after the hint and before the
// replay's own notices.
QStringList StartNotices(const ManifestReadReport &report) {
    QStringList told;
    if (!report.unreadableFile.isEmpty()) {
        told.append(
            QStringLiteral("无法读取 %1（%2），已原样保留；重新启动本程序之前不能整理或还原，"
                           "以免覆盖它。")
                .arg(VisibleName(report.unreadableFile), report.unreadable.description));
    }
    if (!report.setAsideAs.isEmpty()) {
        told.append(QStringLiteral("还原记录无法读取，已原样保存为 %1")
                        .arg(VisibleName(report.setAsideAs)));
    }
    if (!report.recoveredFrom.isEmpty()) {
        told.append(QStringLiteral("已从指定文件夹中的副本 %1 恢复 %2 条还原记录。")
                        .arg(VisibleName(report.recoveredFrom))
                        .arg(report.recoveredRecords));
    }
    return told;
}

} // namespace

void OrganizerAppDelegate::loadManifest() {
    bool journalReplayed = false;
    ManifestReadReport report;
    const QString manifestFile = manifestPath();
    const QString mirror = mirrorPath();
    QStringList replayNotices;
    setManifest(ReadManifestFile(manifestFile, &journalReplayed, &replayNotices, mirror, &report));
    startupNotices_ = StartNotices(report) + replayNotices;
    if (report.journalRecords > 0) {
        startupNotices_.append(QStringLiteral("上次整理未正常结束：已补记 %1 条还原记录。")
                                   .arg(report.journalRecords));
    }
    // A save killed midway leaves its temporary files, and only an organize
    // run leaves a journal that tells of it: they are looked for every time.
    for (const QString &file : {manifestFile, mirror}) {
        if (!file.isEmpty()) {
            RemoveStaleTemporaries(file);
        }
    }
    if (!report.unreadableFile.isEmpty()) {
        unreadableAtStart_ = report.unreadable.description;
    } else if (journalReplayed || !report.recoveredFrom.isEmpty()) {
        saveManifest();
    }
}

void OrganizerAppDelegate::saveManifest() {
    // Never over a file that start-up could not read.
    if (!unreadableAtStart_.isEmpty()) {
        updateSummary();
        return;
    }
    QString mirror = mirrorPath();
    if (!mirror.isEmpty() && mirror != checkedMirror_) {
        QString message;
        if (clearMirrorFor(mirror, manifest_, &message)) {
            checkedMirror_ = mirror;
        } else {
            mirror.clear();
        }
        if (!message.isEmpty()) {
            tell(message);
        }
    }
    Error error;
    const bool saved = ManifestSaver::saveWhole(manifestPath(), mirror, manifest(), &error);
    manifestSaved(saved, error);
}

QString OrganizerAppDelegate::mirrorPath() const {
    const QString target = ResolveTargetPath(currentTargetPath());
    return target.isEmpty() ? QString() : JoinPath(target, MirrorFileName);
}

bool OrganizerAppDelegate::clearMirrorFor(const QString &mirror, const ManifestStore &known,
                                          QString *message) {
    QString keptAs;
    if (!ClearMirrorForSave(mirror, known, &keptAs)) {
        return false;
    }
    if (!keptAs.isEmpty()) {
        *message =
            QStringLiteral("指定文件夹中的还原记录副本列有当前记录之外的项目，已原样保存为 %1")
                .arg(VisibleName(keptAs));
    }
    return true;
}

bool OrganizerAppDelegate::refusedWhileUnreadable() {
    if (unreadableAtStart_.isEmpty()) {
        return false;
    }
    appendLog(QStringLiteral("启动时无法读取还原记录（%1），为免覆盖它，现在不能整理或还原；"
                             "请重新启动本程序。")
                  .arg(unreadableAtStart_));
    return true;
}

void OrganizerAppDelegate::tell(const QString &message) {
    if (logView_) {
        appendLog(message);
    } else {
        startupNotices_.append(message); // the start's own save: told after the hint
    }
}

void OrganizerAppDelegate::manifestSaved(bool saved, const Error &error) {
    if (saved) {
        // Every journalled move is in the saved records now.
        ::unlink(NameBytes(JournalPathFor(manifestPath())).constData());
    } else {
        tell(QStringLiteral("保存还原记录失败：%1").arg(error.description));
    }
    updateSummary();
}
