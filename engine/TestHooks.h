#pragma once
// The engine's test seams: one set of hooks for the whole process, each
// empty (and never called) unless a test sets it. The engine's own sources
// call them; tests set them, before a run starts and back to empty after.
// app/ and ui/ never include this header (the build checks it).

#include <QByteArray>
#include <functional>

struct EngineTestHooks {
    // Called at the start of every move with its source; a non-zero errno
    // makes that move fail.
    std::function<int(const QByteArray &source)> moveFault;
    // Called before each call that a rename without replacing can make,
    // named by call: the system's own no-replace rename ("renameNoReplace"),
    // and where the file system cannot do that, the fallback's "link" and its
    // "rename" onto the name it claimed; with the source. A non-zero errno is
    // taken as that call's failure, and the call is not made. FAT and exFAT
    // volumes fail the first two.
    std::function<int(const char *call, const QByteArray &source)> renameFault;
    // Called before each entry is copied across volumes, with the source
    // entry's path; a non-zero errno makes that copy fail.
    std::function<int(const QByteArray &source)> copyFault;
    // Called before each extended attribute is written to a copy, with the
    // copy's path and the attribute's name; a non-zero errno is taken as the
    // target's refusal of that attribute. Not consulted where the system's
    // own copier writes the attributes (macOS).
    std::function<int(const QByteArray &target, const char *name)> attributeFault;
    // Called before every sync of engine/FileSystem.h with the path being
    // synced; a non-zero errno is taken as that sync's failure (an I/O error,
    // a quota), and the sync is not made.
    std::function<int(const QByteArray &path)> syncFault;
    // Called once a copy is in place ("placed", with the destination),
    // before each source entry is removed ("remove"), and within the
    // stand-in for a rename without replacing once the destination's name is
    // a link to the source ("linked") or a claim ("claimed"); by the runs once a
    // batch of moves is announced in the journal ("announced", with the
    // journal's path) and when a run has made its last move ("ran").
    std::function<void(const char *step, const QByteArray &path)> step;
};

inline EngineTestHooks &TestHooks() {
    static EngineTestHooks hooks;
    return hooks;
}

// What the rename fault hook, when one is set, says of call: 0 when none.
inline int RenameFault(const char *call, const QByteArray &source) {
    const auto &hook = TestHooks().renameFault;
    return hook ? hook(call, source) : 0;
}

// Tells the step hook, when one is set, that step is reached.
inline void ReachStep(const char *step, const QByteArray &path) {
    if (const auto &hook = TestHooks().step) {
        hook(step, path);
    }
}
