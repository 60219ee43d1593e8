#include "app/OrganizerAppDelegate.h"
#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "ui/BusyCursor.h"

#include <QJsonObject>
#include <cerrno>

void OrganizerAppDelegate::restoreFiles(QObject * /*sender*/) {
    const BusyCursor busy;
    const QJsonArray records = manifest();
    if (records.isEmpty()) {
        appendLog(QStringLiteral("没有找到可还原记录。"));
        return;
    }
    qint64 restored = 0;
    qint64 skipped = 0;
    QJsonArray retained;
    for (qsizetype i = records.size() - 1; i >= 0; --i) {
        const QJsonValue record = records.at(i);
        const QJsonObject fields = record.toObject();
        const QString storedPath = fields.value(record_key::StoredPath).toString();
        const QString originalPath = fields.value(record_key::OriginalPath).toString();
        // A moved dangling link is still an item to bring back, so the stored
        // path is tested without following a final link.
        if (storedPath.isEmpty() || originalPath.isEmpty()) {
            ++skipped;
            continue;
        }
        if (!EntryExists(storedPath)) {
            ++skipped;
            // Gone from a folder that is still there: the user deleted or
            // moved it. A folder that is missing as a whole is more likely an
            // unplugged disk; its records wait for it to come back.
            const QString folder = DeletingLastPathComponent(storedPath);
            if (!folder.isEmpty() && !IsDirectory(folder)) {
                retained.append(record);
                appendLog(
                    QStringLiteral("跳过 %1：存放文件夹 %2 不存在（磁盘可能未连接），记录已保留")
                        .arg(VisibleName(LastPathComponent(storedPath)), VisibleName(folder)));
            }
            continue;
        }
        const QString destination = UniquePath(originalPath);
        Error error;
        MoveReport report;
        bool moved = MoveItem(storedPath, destination, &error, &report);
        if (!moved && error.domain == PosixErrorDomain && error.code == ENOENT) {
            // The folder that is to hold it is missing: make it, then try
            // again. Creating it only when needed saves a call per item.
            CreateDirectories(DeletingLastPathComponent(originalPath), nullptr);
            moved = MoveItem(storedPath, destination, &error, &report);
        }
        if (moved) {
            ++restored;
            if (!report.attributesNotKept.isEmpty()) {
                appendLog(
                    AttributesNotKeptMessage(VisibleName(LastPathComponent(storedPath)), report));
            }
            continue;
        }
        ++skipped;
        retained.append(record);
        appendLog(QStringLiteral("还原 %1 失败：%2")
                      .arg(VisibleName(LastPathComponent(storedPath)), error.description));
    }
    setManifest(std::move(retained));
    saveManifest();
    appendLog(
        QStringLiteral("还原完成：还原 %1 个项目，跳过 %2 个项目。").arg(restored).arg(skipped));
}
