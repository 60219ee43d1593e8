// A child process for the crash tests: organizes the Desktop of the home
// folder it is given through the environment, saying "ready" just before the
// run starts so the parent can kill it part-way.

#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"

#include <QGuiApplication>
#include <cstdio>

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    SetApplicationIdentity();

    OrganizerAppDelegate delegate;
    delegate.loadManifest();
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    delegate.organizeDesktop();
    std::fputs("finished\n", stdout);
    std::fflush(stdout);
    return 0;
}
