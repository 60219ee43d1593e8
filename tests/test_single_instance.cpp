#include "TestSupport.h"
#include "app/Constants.h"
#include "app/SingleInstance.h"
#include "engine/FileSystem.h"
#include "engine/PathRules.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QProcess>
#include <QSysInfo>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <memory>
#include <thread>

// Readable roles in assertion messages.
static void PrintTo(SingleInstance::Role role, std::ostream *out) {
    constexpr const char *names[] = {"First", "Second", "Unguarded"};
    *out << names[static_cast<int>(role)];
}

namespace {

const QString Listening = QStringLiteral("kestrue.instance: first copy, listening");
const QString Asked = QStringLiteral("kestrue.instance: a later launch asked for the window");

// The real application in its own process, in the test's home, with the
// single-copy guard's informational lines turned on.
class App {
public:
    explicit App(const QString &home) {
        QProcessEnvironment env = SandboxEnvironment(home);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"),
                   QStringLiteral("kestrue.instance.info=true"));
        env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        process_.setProcessEnvironment(env);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QStringLiteral(KESTRUE_APP_PATH), {});
        EXPECT_TRUE(process_.waitForStarted()) << process_.errorString().toStdString();
    }
    ~App() {
        process_.kill();
        process_.waitForFinished();
    }
    App(const App &) = delete;
    App &operator=(const App &) = delete;

    // True once the output holds text, false if the time runs out first.
    bool waitFor(const QString &text, int ms) {
        const QDeadlineTimer deadline(ms);
        for (;;) {
            output_ += QString::fromUtf8(process_.readAll());
            if (output_.count(text) > seen_.value(text)) {
                seen_[text] = output_.count(text);
                return true;
            }
            if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
                return false;
            }
            process_.waitForReadyRead(
                static_cast<int>(std::min<qint64>(deadline.remainingTime(), 100)));
        }
    }
    // True when the process ended by itself, with status 0, in time.
    bool exitsCleanly(int ms) {
        return process_.waitForFinished(ms) && process_.exitStatus() == QProcess::NormalExit &&
               process_.exitCode() == 0;
    }
    bool running() const { return process_.state() == QProcess::Running; }
    void kill() {
        process_.kill();
        process_.waitForFinished();
    }
    std::string output() {
        output_ += QString::fromUtf8(process_.readAll());
        return output_.toStdString();
    }

private:
    QProcess process_;
    QString output_;
    QHash<QString, qsizetype> seen_;
};

// Runs this process's events until done() holds, for at most five seconds.
void ProcessEventsUntil(const std::function<bool()> &done) {
    const QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
}

class SingleInstanceTest : public Sandbox {
protected:
    QString manifest() const { return supportFolder() + QStringLiteral("/restore-manifest.json"); }
};

TEST_F(SingleInstanceTest, LaterLaunchesBringTheFirstForwardAndTouchNothing) {
    // Unreadable on purpose: a launch that loads it sets it aside. The
    // first copy does so at start-up, which shows when its loading is over.
    MakeDir(supportFolder());
    WriteFile(manifest(), "not json");
    App first(home());
    ASSERT_TRUE(first.waitFor(Listening, 10000)) << first.output();
    const QDeadlineTimer loaded(10000);
    while (EntryExists(manifest()) && !loaded.hasExpired()) {
        QThread::msleep(20);
    }
    ASSERT_FALSE(EntryExists(manifest())) << first.output();
    WriteFile(manifest(), "not json");
    const QStringList before = Names(supportFolder());
    for (int launch = 0; launch < 2; ++launch) {
        App later(home());
        EXPECT_TRUE(later.exitsCleanly(10000)) << later.output();
        EXPECT_TRUE(first.waitFor(Asked, 5000)) << "launch " << launch << first.output();
    }
    EXPECT_TRUE(first.running());
    EXPECT_EQ(Names(supportFolder()), before);
    EXPECT_EQ(ReadFile(manifest()), "not json");
}

TEST_F(SingleInstanceTest, LockOfAKilledCopyIsTakenOverAtOnce) {
    App killed(home());
    ASSERT_TRUE(killed.waitFor(Listening, 10000)) << killed.output();
    killed.kill();
    const SingleInstance names(supportFolder());
    ASSERT_TRUE(EntryExists(names.lockPath())) << "a killed copy leaves its lock behind";
    ASSERT_TRUE(EntryExists(names.serverName())) << "and its socket";

    App next(home());
    ASSERT_TRUE(next.waitFor(Listening, 5000)) << next.output();
    App later(home());
    EXPECT_TRUE(later.exitsCleanly(10000)) << later.output();
    EXPECT_TRUE(next.waitFor(Asked, 5000)) << next.output();
}

TEST_F(SingleInstanceTest, AFileInTheWayOfTheSupportFolderLeavesEveryCopyRunning) {
    MakeDir(DeletingLastPathComponent(supportFolder()));
    WriteFile(supportFolder(), "in the way");
    App first(home());
    App second(home());
    EXPECT_FALSE(first.exitsCleanly(1500)) << first.output();
    EXPECT_TRUE(first.running());
    EXPECT_TRUE(second.running()) << second.output();
    EXPECT_EQ(ReadFile(supportFolder()), "in the way");
}

// In one process, as two copies: the second is answered by the first. Cases:
// a lock left with this very process id (a copy killed inside a process-id
// namespace, where the next copy can get the same id) is taken over, but not
// while it is held; a socket path too long for the system falls back to a
// short name that is still one per support folder.
TEST_F(SingleInstanceTest, SecondCopyInOneProcessIsAnswered) {
    const QString deep = root() + QLatin1Char('/') + QString(120, QLatin1Char('d'));
    for (const QString &folder : {root() + QStringLiteral("/support"), deep}) {
        MakeDir(folder);
        SingleInstance first(folder);
        if (folder == deep) {
            EXPECT_FALSE(first.serverName().contains(QLatin1Char('/')));
            EXPECT_NE(first.serverName(),
                      SingleInstance(root() + QLatin1Char('/') + QString(120, QLatin1Char('e')))
                          .serverName());
        } else {
            WriteFile(first.lockPath(),
                      QByteArray::number(QCoreApplication::applicationPid()) + '\n' +
                          QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8() +
                          '\n' + QSysInfo::machineHostName().toUtf8() + '\n');
        }
        int activations = 0;
        ASSERT_EQ(first.start([&activations] { ++activations; }), SingleInstance::Role::First);
        SingleInstance second(folder);
        EXPECT_EQ(second.start([] { ADD_FAILURE() << "a second copy serves nothing"; }),
                  SingleInstance::Role::Second);
        ProcessEventsUntil([&activations] { return activations > 0; });
        EXPECT_EQ(activations, 1) << folder.toStdString();
    }
}

// The lock is held but nothing answers at the socket (a copy starting up,
// quitting or busy). A launch that still cannot have the lock is a second
// copy and ends; one that cannot reach the lock for another reason (the
// holder quit and a file took its folder's place) runs unguarded.
TEST_F(SingleInstanceTest, HeldLockWithoutAnAnswer) {
    const struct {
        const char *what;
        bool folderReplaced;
        SingleInstance::Role role;
    } cases[] = {{"the holder keeps the lock", false, SingleInstance::Role::Second},
                 {"the holder quits, a file takes the folder's place", true,
                  SingleInstance::Role::Unguarded}};
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const QString folder = root() + QStringLiteral("/support") + QString::number(n++);
        MakeDir(folder);
        auto holder = std::make_unique<QLockFile>(SingleInstance(folder).lockPath());
        ASSERT_TRUE(holder->tryLock(0));
        std::thread quitter;
        if (c.folderReplaced) {
            // Well inside the time a later launch keeps asking.
            quitter = std::thread([&holder, folder] {
                QThread::msleep(500);
                holder.reset();
                QDir(folder).removeRecursively();
                WriteFile(folder, "in the way");
            });
        }
        SingleInstance later(folder);
        const SingleInstance::Role role =
            later.start([] { ADD_FAILURE() << "a copy that is not first serves nothing"; });
        EXPECT_EQ(role, c.role);
        if (quitter.joinable()) {
            quitter.join();
        }
    }
}

TEST(BringToFront, RestoresAMinimisedOrHiddenWindowAndRaisesIt) {
    BringToFront(nullptr);
    QWidget minimised;
    minimised.show();
    minimised.showMinimized();
    ASSERT_TRUE(minimised.isMinimized());
    BringToFront(&minimised);
    EXPECT_FALSE(minimised.isMinimized());
    EXPECT_TRUE(minimised.isVisible());

    QWidget hidden;
    BringToFront(&hidden);
    EXPECT_TRUE(hidden.isVisible());
}

} // namespace
