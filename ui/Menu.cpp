#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"

#include <QAction>
#include <QCoreApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

void OrganizerAppDelegate::buildMenu() {
    mainMenu_ = std::make_unique<QMenuBar>();
    QMenu *applicationMenu = mainMenu_->addMenu(AppName);
    QAction *quit = applicationMenu->addAction(QStringLiteral("退出 %1").arg(AppName));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    // Ends at once: every change was saved when it was made.
    connect(quit, &QAction::triggered, QCoreApplication::instance(), &QCoreApplication::quit);
}
