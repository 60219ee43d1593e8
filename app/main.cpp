#include "app/Constants.h"
#include "app/OrganizerAppDelegate.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(AppName);
    QApplication::setOrganizationName(OrganizationName);
    QApplication::setOrganizationDomain(OrganizationDomain);

    OrganizerAppDelegate delegate;
    // Runs once, as soon as the event loop is up.
    QTimer::singleShot(0, &delegate, &OrganizerAppDelegate::applicationDidFinishLaunching);
    QApplication::exec();
    return 0;
}
