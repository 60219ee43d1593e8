// A child process for the crash and power-cut tests: runs 一键整理 (or 还原,
// given the argument "restore") for the home folder it is given through the
// environment, saying "ready" just before the run starts and "finished"
// after its closing line. At the Nth arrival at a step it is killed
// (KESTRUE_KILL_AT="step:N") or says "paused" and stops itself
// (KESTRUE_PAUSE_AT="step:N"), so the parent can act while it is frozen.
// The steps: "move" (a move starts), "copy" (an entry is about to be copied
// to another volume) and those the engine reaches by name ("announced",
// "placed", "remove", "ran", "linked", "claimed"). With KESTRUE_STEP_PATH
// set, only arrivals whose path holds it are counted. KESTRUE_FALLBACK
// ("link", "claim" or "claim-copies") makes moves take the stand-in for a
// rename without replacing that a volume without that rename (or without
// links) needs. It refuses to run unless the Desktop and the support folder
// are inside the home folder it is given.

#include "SandboxEnvironment.h"
#include "app/Identity.h"
#include "app/OrganizerAppDelegate.h"
#include "engine/MoveItem.h"
#include "engine/TestHooks.h"

#include <QGuiApplication>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

struct StopPoint {
    QByteArray step;
    QByteArray within;
    std::atomic<int> countdown{0}; // a run and its helpers may reach steps at once
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

void Arrive(const char *step, const QByteArray &path) {
    StopPoint &point = Point();
    if (point.step != step || !path.contains(point.within) || point.countdown.fetch_sub(1) != 1) {
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
    const QString home = qEnvironmentVariable("HOME");
    IsolateSettings(home);
    RefuseOutsideSandbox(home);

    const bool pause = qEnvironmentVariableIsSet("KESTRUE_PAUSE_AT");
    const QList<QByteArray> at = qgetenv(pause ? "KESTRUE_PAUSE_AT" : "KESTRUE_KILL_AT").split(':');
    if (at.size() == 2) {
        StopPoint &point = Point();
        point.step = at[0];
        point.within = qgetenv("KESTRUE_STEP_PATH");
        point.countdown = at[1].toInt();
        point.pause = pause;
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
    // The stand-ins for a rename without replacing, as a volume without the
    // flag ("link") or without links either ("claim") makes them take.
    // With "-copies", only a finished copy's rename into place takes it: the
    // move of an item to another volume says EXDEV first, as it would there.
    const QByteArray fallback = qgetenv("KESTRUE_FALLBACK");
    if (!fallback.isEmpty()) {
        TestHooks().renameFault = [fallback](const char *call, const QByteArray &source) {
            if (fallback.endsWith("-copies") && !source.contains(TemporaryPrefix)) {
                return 0;
            }
            const QByteArrayView name(call);
            return name == "renameNoReplace"                        ? EINVAL
                   : name == "link" && fallback.startsWith("claim") ? EPERM
                                                                    : 0;
        };
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
