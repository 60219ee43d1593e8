#include "app/OrganizerAppDelegate.h"

#include <QCoreApplication>
#include <utility>

void OrganizerAppDelegate::applicationDidFinishLaunching() {
    // Quitting needs no question: a run under way stops at its next safe
    // point and what it moved is saved before the process ends.
    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
            [this] { finishRun(true); });
    loadManifest();
    buildMenu();
    buildWindow();
    appendLog(QStringLiteral("请选择一个用于接收桌面项目的文件夹，然后点击“一键整理”。"));
    for (const QString &notice : std::exchange(startupNotices_, {})) {
        appendLog(notice);
    }
}
