#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "ui/BusyCursor.h"

#include <QDateTime>
#include <QDir>
#include <QJsonObject>
#include <QSettings>
#include <vector>

namespace {

// The Desktop can resolve to the home folder itself (an XDG fallback);
// organizing it would sweep the whole home folder into the target.
bool ListDesktop(const QString &desktop, std::vector<DirectoryEntry> *entries, Error *error) {
    if (PathIsEqualOrInside(StandardizePath(QDir::homePath()), desktop)) {
        SetError(error, Error{AppName, 3,
                              QStringLiteral(
                                  "桌面文件夹就是用户主文件夹（%1），已停止以免整理整个主文件夹")
                                  .arg(desktop)});
        return false;
    }
    return ListDirectory(desktop, entries, error);
}

} // namespace

void OrganizerAppDelegate::organizeDesktop(QObject * /*sender*/) {
    const BusyCursor busy;
    const QString target = ResolveTargetPath(currentTargetPath());
    Error error;
    if (!prepareTarget(target, &error)) {
        appendLog(error.description);
        return;
    }
    // An unchanged value is not written again: every write rewrites the
    // settings file under its lock.
    QSettings settings;
    if (settings.value(TargetFolderKey) != QVariant(target)) {
        settings.setValue(TargetFolderKey, target);
    }

    const QString desktop = StandardizePath(desktopPath());
    std::vector<DirectoryEntry> entries;
    if (!ListDesktop(desktop, &entries, &error)) {
        appendLog(QStringLiteral("读取桌面失败：%1").arg(error.description));
        return;
    }

    qint64 moved = 0;
    qint64 skipped = 0;
    // Keeps every move restorable should the process die before the save.
    MoveJournal journal(JournalPathFor(manifestPath()));
    for (const DirectoryEntry &entry : entries) {
        const QString itemPath = JoinPath(desktop, entry.name);
        if (entry.hidden || PathIsEqualOrInside(target, itemPath)) {
            ++skipped;
            continue;
        }
        if (!entry.nameIsText) {
            // Its record could not find it again; leave it where it is.
            ++skipped;
            appendLog(
                QStringLiteral("跳过 %1：%2").arg(entry.name, QStringLiteral("文件名无法记录")));
            continue;
        }
        const QString destination = StandardizePath(UniquePath(JoinPath(target, entry.name)));
        journal.begin(itemPath, destination);
        if (!MoveItem(itemPath, destination, &error)) {
            ++skipped;
            appendLog(QStringLiteral("跳过 %1：%2").arg(entry.name, error.description));
            continue;
        }
        const qint64 movedAt = QDateTime::currentSecsSinceEpoch();
        journal.done(itemPath, destination, movedAt);
        manifest_.append(RestoreRecord(itemPath, destination, movedAt));
        ++moved;
    }
    saveManifest();
    appendLog(QStringLiteral("整理完成：移动 %1 个项目，跳过 %2 个项目。").arg(moved).arg(skipped));
}
