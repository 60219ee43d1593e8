#pragma once
// The variables that keep a process's home, settings, data and cache inside
// one throw-away home folder. Shared by the test fixtures, the child
// processes the tests start and the benchmark; needs QtCore only.

#include "engine/PathRules.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

// On macOS Qt finds the Desktop and the support folder through
// CoreFoundation, which takes the home from CFFIXED_USER_HOME, then the
// password database, and from HOME only as a last resort. Elsewhere nothing
// reads CFFIXED_USER_HOME.
inline std::vector<std::pair<const char *, QString>> SandboxVariables(const QString &home) {
    return {{"HOME", home},
            {"CFFIXED_USER_HOME", home},
            {"XDG_CONFIG_HOME", home + QStringLiteral("/.config")},
            {"XDG_DATA_HOME", home + QStringLiteral("/.local/share")},
            {"XDG_CACHE_HOME", home + QStringLiteral("/.cache")}};
}

// Settings in a file under home. macOS's native settings are the user's
// defaults database, which no path moves, so there the file format is made
// the default.
inline void IsolateSettings(const QString &home) {
#ifdef Q_OS_MACOS
    QSettings::setDefaultFormat(QSettings::IniFormat);
#endif
    QSettings::setPath(QSettings::defaultFormat(), QSettings::UserScope,
                       home + QStringLiteral("/.config"));
}

// Points this process at home.
inline void EnterSandbox(const QString &home) {
    for (const auto &[name, value] : SandboxVariables(home)) {
        qputenv(name, value.toUtf8());
    }
    IsolateSettings(home);
}

// This process's environment with home in force, for a child process.
inline QProcessEnvironment SandboxEnvironment(const QString &home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : SandboxVariables(home)) {
        env.insert(QString::fromLatin1(name), value);
    }
    return env;
}

// Where this process would find the Desktop or the data folder that holds
// the support folder outside home, that folder; empty when both are inside.
// Nothing that moves items or writes records may run then: it would work on
// the user's own.
inline QString OutsideSandbox(const QString &home) {
    for (const auto where :
         {QStandardPaths::DesktopLocation, QStandardPaths::GenericDataLocation}) {
        const QString path = QStandardPaths::writableLocation(where);
        if (home.isEmpty() || !PathIsEqualOrInside(StandardizePath(path), StandardizePath(home))) {
            return path.isEmpty() ? QStringLiteral("(none)") : path;
        }
    }
    return {};
}

// The status of a process that refused to run outside its home.
inline constexpr int OutsideSandboxStatus = 3;

// Ends the process, saying why, when OutsideSandbox finds a folder outside
// home: before any fixture, child or benchmark run can touch it.
inline void RefuseOutsideSandbox(const QString &home) {
    const QString outside = OutsideSandbox(home);
    if (!outside.isEmpty()) {
        std::fprintf(stderr, "refusing to run: %s is outside the temporary home %s\n",
                     outside.toUtf8().constData(), home.toUtf8().constData());
        std::fflush(stderr);
        std::_Exit(OutsideSandboxStatus);
    }
}
