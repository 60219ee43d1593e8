#pragma once
// The variables that keep a process's home, settings, data and cache inside
// one throw-away home folder. Shared by the test fixtures, the child
// processes the tests start and the benchmark; needs QtCore only.

#include <QFile>
#include <QProcessEnvironment>
#include <QString>
#include <utility>
#include <vector>

inline std::vector<std::pair<const char *, QString>> SandboxVariables(const QString &home) {
    return {{"HOME", home},
            {"XDG_CONFIG_HOME", home + QStringLiteral("/.config")},
            {"XDG_DATA_HOME", home + QStringLiteral("/.local/share")},
            {"XDG_CACHE_HOME", home + QStringLiteral("/.cache")}};
}

// Points this process at home.
inline void EnterSandbox(const QString &home) {
    for (const auto &[name, value] : SandboxVariables(home)) {
        qputenv(name, QFile::encodeName(value));
    }
}

// This process's environment with home in force, for a child process.
inline QProcessEnvironment SandboxEnvironment(const QString &home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : SandboxVariables(home)) {
        env.insert(QString::fromLatin1(name), value);
    }
    return env;
}
