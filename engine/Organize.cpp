#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/Error.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/LogText.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/PathRules.h"
#include "ui/BusyCursor.h"

#include <QDateTime>
#include <QDir>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <algorithm>
#include <vector>

namespace {

// How many moves one journal write announces.
constexpr size_t JournalBatch = 64;

struct PlannedMove {
    const DirectoryEntry *entry;
    QString from;
    QString to; // the destination; standard already, a standard folder joined with a plain name
};

// The Desktop can resolve to the home folder itself (an XDG fallback);
// organizing it would sweep the whole home folder into the target.
bool ListDesktop(const QString &desktop, std::vector<DirectoryEntry> *entries, Error *error) {
    if (PathIsEqualOrInside(StandardizePath(QDir::homePath()), desktop)) {
        SetError(error, Error{AppName, 3,
                              QStringLiteral(
                                  "桌面文件夹就是用户主文件夹（%1），已停止以免整理整个主文件夹")
                                  .arg(VisibleName(desktop))});
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
    {
        // Written (and flushed, as the settings go out of scope) before the
        // Desktop is read. An unchanged value is not written again: every
        // write rewrites the settings file under its lock.
        QSettings settings;
        if (settings.value(TargetFolderKey) != QVariant(target)) {
            settings.setValue(TargetFolderKey, target);
        }
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
    // Moves are announced in batches, one write each, before any of them is
    // made; an announced move that never happened is told apart at replay
    // by where the item is.
    MoveJournal journal(JournalPathFor(manifestPath()));
    std::vector<PlannedMove> plan;
    QSet<QString> planned;
    for (size_t start = 0; start < entries.size(); start += JournalBatch) {
        const size_t end = std::min(entries.size(), start + JournalBatch);
        plan.clear();
        planned.clear();
        for (size_t i = start; i < end; ++i) {
            const DirectoryEntry &entry = entries[i];
            PlannedMove move{&entry, JoinPath(desktop, entry.name), QString()};
            if (!entry.hidden && entry.nameIsText && !PathIsEqualOrInside(target, move.from)) {
                // A name planned earlier in the batch is taken, as it will
                // be once that item has moved.
                move.to = UniquePath(JoinPath(target, entry.name), [&planned](const QString &path) {
                    return planned.contains(path) || EntryExists(path);
                });
                planned.insert(move.to);
                journal.begin(move.from, move.to);
            }
            plan.push_back(std::move(move));
        }
        if (!journal.flush(&error)) {
            // Nothing moves that could not be recorded: this batch and every
            // entry after it stay on the Desktop.
            skipped += static_cast<qint64>(entries.size() - start);
            appendLog(QStringLiteral("无法写入还原记录（%1），已停止整理").arg(error.description));
            break;
        }

        for (const PlannedMove &move : plan) {
            if (move.entry->hidden || PathIsEqualOrInside(target, move.from)) {
                ++skipped;
                continue;
            }
            if (!move.entry->nameIsText) {
                // Its record could not find it again; leave it where it is.
                ++skipped;
                appendLog(
                    QStringLiteral("跳过 %1：%2")
                        .arg(VisibleName(move.entry->name), QStringLiteral("文件名无法记录")));
                continue;
            }
            // Across volumes the copy's temporary name and its arrival are
            // journalled too, so a kill mid-move leaves nothing half done.
            const MoveSteps steps{[&](const QByteArray &temporary, Error *stepError) {
                                      journal.copying(move.from, move.to, temporary);
                                      return journal.flush(stepError);
                                  },
                                  [&] {
                                      journal.placed(move.from, move.to);
                                      journal.flush(nullptr);
                                  }};
            MoveReport report;
            if (!MoveItem(move.from, move.to, &error, &report, &steps)) {
                ++skipped;
                appendLog(QStringLiteral("跳过 %1：%2")
                              .arg(VisibleName(move.entry->name), error.description));
                continue;
            }
            const qint64 movedAt = QDateTime::currentSecsSinceEpoch();
            journal.done(move.from, move.to, movedAt);
            manifest_.append(RestoreRecord(move.from, move.to, movedAt));
            ++moved;
            if (!report.attributesNotKept.isEmpty()) {
                appendLog(AttributesNotKeptMessage(VisibleName(move.entry->name), report));
            }
        }
    }
    // The lines saying moves finished are a convenience for the replay,
    // which also finds a finished move by where its item is.
    journal.flush(nullptr);
    saveManifest();
    appendLog(QStringLiteral("整理完成：移动 %1 个项目，跳过 %2 个项目。").arg(moved).arg(skipped));
}
