#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"
#include "ui/Picture.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[]) {
    // The application takes no arguments, the toolkit's own included.
    int toolkitArgc = argc > 0 ? 1 : 0;
    QApplication application(toolkitArgc, argv);
    QApplication::setApplicationName(AppName);
    QApplication::setOrganizationName(OrganizationName);
    QApplication::setOrganizationDomain(OrganizationDomain);
    QApplication::setWindowIcon(DogIcon());

    OrganizerAppDelegate delegate;
    QApplication::setQuitOnLastWindowClosed(
        delegate.applicationShouldTerminateAfterLastWindowClosed());
    // Runs once, as soon as the event loop is up.
    QTimer::singleShot(0, &delegate, &OrganizerAppDelegate::applicationDidFinishLaunching);
    QApplication::exec();
    return 0;
}
