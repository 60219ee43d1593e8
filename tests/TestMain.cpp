#include "app/Constants.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Nothing the toolkit caches at start-up may land in the real home folder.
    QTemporaryDir startHome;
    qputenv("HOME", QFile::encodeName(startHome.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(startHome.path() + QStringLiteral("/.config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(startHome.path() + QStringLiteral("/.local/share")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(startHome.path() + QStringLiteral("/.cache")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(startHome.path()));

    QApplication application(argc, argv);
    QApplication::setApplicationName(AppName);
    QApplication::setOrganizationName(OrganizationName);
    QApplication::setOrganizationDomain(OrganizationDomain);

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
