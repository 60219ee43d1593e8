#include "app/OrganizerAppDelegate.h"

#include <utility>

void OrganizerAppDelegate::applicationDidFinishLaunching() {
    loadManifest();
    buildMenu();
    buildWindow();
    appendLog(QStringLiteral("请选择一个用于接收桌面项目的文件夹，然后点击“一键整理”。"));
    for (const QString &notice : std::exchange(startupNotices_, {})) {
        appendLog(notice);
    }
}
