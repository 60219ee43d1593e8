// The main of the engine's own tests: QtCore alone, as the engine needs.

#include "SandboxEnvironment.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char *argv[]) {
    QTemporaryDir startHome;
    EnterSandbox(startHome.path());
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
