// A child process for the crash and power-cut tests: runs 一键整理 (or 还原,
// given the argument "restore") for the home folder it is given through the
// environment, saying "ready" just before the run starts and "finished"
// after its closing line. At the Nth arrival at a step it is killed
// (KESTRUE_KILL_AT="step:N") or says "paused" and stops itself
// (KESTRUE_PAUSE_AT="step:N"), so the parent can act while it is frozen.
// The steps: "move" (a move starts), "copy" (an entry is about to be copied
// to another volume) and those the engine reaches by name ("announced",
// "placed", "remove", "ran"). With KESTRUE_STEP_PATH set, only arrivals whose
// path holds it are counted.

#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/TestHooks.h"

#include <QGuiApplication>
#include <csignal>
#include <cstdio>

namespace {

struct StopPoint {
    QByteArray step;
    QByteArray within;
    int countdown = 0;
    bool pause = false;
};

StopPoint &Point() {
    static StopPoint point;
    return point;
}

void Say(const char *line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

// Called on the run's thread only.
void Arrive(const char *step, const QByteArray &path) {
    StopPoint &point = Point();
    if (point.step != step || !path.contains(point.within) || --point.countdown != 0) {
        return;
    }
    if (!point.pause) {
        std::raise(SIGKILL);
    }
    Say("paused\n");
    std::raise(SIGSTOP); // stops every thread of the process
}

} // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    SetApplicationIdentity();

    const bool pause = qEnvironmentVariableIsSet("KESTRUE_PAUSE_AT");
    const QList<QByteArray> at = qgetenv(pause ? "KESTRUE_PAUSE_AT" : "KESTRUE_KILL_AT").split(':');
    if (at.size() == 2) {
        Point() = {at[0], qgetenv("KESTRUE_STEP_PATH"), at[1].toInt(), pause};
        TestHooks().moveFault = [](const QByteArray &source) {
            Arrive("move", source);
            return 0;
        };
        TestHooks().copyFault = [](const QByteArray &source) {
            Arrive("copy", source);
            return 0;
        };
        TestHooks().step = Arrive;
    }

    OrganizerAppDelegate delegate;
    delegate.loadManifest();
    Say("ready\n");
    if (application.arguments().value(1) == QStringLiteral("restore")) {
        delegate.restoreFiles();
    } else {
        delegate.organizeDesktop();
    }
    delegate.finishRun();
    Say("finished\n");
    return 0;
}
