// The processes the tests start work only inside the home folder they are
// given: on a Desktop or a data folder found elsewhere (the user's own, on a
// system that takes the home from somewhere else) they refuse to run.

#include "TestSupport.h"
#include "app/Constants.h"

#include <QProcess>
#include <QSettings>

namespace {

TEST_F(Sandbox, AChildRefusesADesktopOrDataFolderOutsideItsHome) {
    const QString elsewhere = root() + QStringLiteral("/elsewhere");
    const QString target = root() + QStringLiteral("/Target");
    QSettings().setValue(TargetFolderKey, target);
    QSettings().sync();
    WriteFile(desktop() + QStringLiteral("/inside.txt"), "inside");
    MakeDir(elsewhere + QStringLiteral("/Desktop"));
    WriteFile(elsewhere + QStringLiteral("/Desktop/mine.txt"), "mine");

    for (const bool desktopOutside : {true, false}) {
        SCOPED_TRACE(desktopOutside ? "the Desktop elsewhere" : "the data folder elsewhere");
        QProcessEnvironment env = SandboxEnvironment(home());
        const QString dirs = home() + QStringLiteral("/.config/user-dirs.dirs");
        if (desktopOutside) {
            MakeDir(home() + QStringLiteral("/.config"));
            WriteFile(dirs, "XDG_DESKTOP_DIR=\"" + elsewhere.toUtf8() + "/Desktop\"\n");
        } else {
            QFile::remove(dirs);
            env.insert(QStringLiteral("XDG_DATA_HOME"), elsewhere + QStringLiteral("/data"));
        }
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(KESTRUE_CHILD_PATH), {});
        ASSERT_TRUE(child.waitForFinished(30000));
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), OutsideSandboxStatus);
        EXPECT_TRUE(child.readAllStandardError().contains("refusing to run"));
        EXPECT_EQ(Names(elsewhere), QStringList{QStringLiteral("Desktop")});
        EXPECT_EQ(ReadFile(elsewhere + QStringLiteral("/Desktop/mine.txt")), "mine");
        EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/inside.txt")), "inside");
        EXPECT_FALSE(EntryExists(target));
    }
}

} // namespace
