// A child process for the crash tests: organizes the Desktop of the home
// folder it is given through the environment, saying "ready" just before the
// run starts so the parent can kill it part-way. KESTRUE_KILL_AT="step:N"
// kills it at the Nth step of a cross-volume move instead: "copy" (before an
// entry is copied), "placed" (the copy just in place) or "remove" (before a
// source entry is removed).

#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/TestHooks.h"

#include <QGuiApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    SetApplicationIdentity();

    const QList<QByteArray> killAt = qgetenv("KESTRUE_KILL_AT").split(':');
    if (killAt.size() == 2) {
        static QByteArray step = killAt[0];
        static int countdown = killAt[1].toInt();
        const auto arrive = [](const char *at) {
            if (step == at && --countdown == 0) {
                std::raise(SIGKILL);
            }
        };
        TestHooks().copyFault = [arrive](const QByteArray &) {
            arrive("copy");
            return 0;
        };
        TestHooks().step = [arrive](const char *at, const QByteArray &) {
            arrive(at);
        };
    }

    OrganizerAppDelegate delegate;
    delegate.loadManifest();
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
    delegate.organizeDesktop();
    delegate.finishRun();
    std::fputs("finished\n", stdout);
    std::fflush(stdout);
    return 0;
}
