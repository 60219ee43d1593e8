#include "SandboxEnvironment.h"
#include "app/Identity.h"

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
    EnterSandbox(startHome.path());
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(startHome.path()));

    QApplication application(argc, argv);
    SetApplicationIdentity();

    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
