#include "TestSupport.h"
#include "app/Constants.h"
#include "app/SingleInstance.h"
#include "engine/FileSystem.h"
#include "engine/PathRules.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
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

QProcessEnvironment AppEnvironment(const QString &home) {
    QProcessEnvironment env = SandboxEnvironment(home);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("kestrue.instance.info=true"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return env;
}

// The real application in its own process, in the test's home, with the
// single-copy guard's informational lines turned on.
class App {
public:
    explicit App(const QString &home) {
        process_.setProcessEnvironment(AppEnvironment(home));
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

// The first copy quits while its run is still finishing (here held as long
// as the test keeps it): it answers no more, and a launch meanwhile waits
// for the lock and then opens its window.
TEST_F(SingleInstanceTest, ALaunchWhileTheFirstCopyQuitsOpensOnceItEnds) {
    MakeDir(supportFolder());
    auto quitting = std::make_unique<SingleInstance>(supportFolder());
    ASSERT_EQ(quitting->start([] { ADD_FAILURE() << "a quitting copy shows nothing"; }),
              SingleInstance::Role::First);
    quitting->stopAnswering();
    App later(home());
    EXPECT_FALSE(later.waitFor(Listening, 1500)) << later.output();
    EXPECT_TRUE(later.running()) << later.output();
    quitting.reset(); // the run has finished and the lock goes
    EXPECT_TRUE(later.waitFor(Listening, 5000)) << later.output();
    EXPECT_FALSE(EntryExists(supportFolder() + QStringLiteral("/.instance.quitting")));
}

// A launch that is to end by itself: its exit status (-1 when it crashed or
// was still running, as with a window, after ten seconds) and its output.
struct Ended {
    int status = -1;
    QString out;
    QString err;
};

Ended Launch(const QString &home, const QStringList &arguments) {
    QProcess process;
    process.setProcessEnvironment(AppEnvironment(home));
    process.start(QStringLiteral(KESTRUE_APP_PATH), arguments);
    Ended ended;
    if (process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit) {
        ended.status = process.exitCode();
    }
    process.kill();
    process.waitForFinished();
    ended.out = QString::fromUtf8(process.readAllStandardOutput());
    ended.err = QString::fromUtf8(process.readAllStandardError());
    return ended;
}

// Every entry under folder, hidden ones included, sorted.
QStringList Everything(const QString &folder) {
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        entries.append(it.next());
    }
    entries.sort();
    return entries;
}

using CommandLineTest = SingleInstanceTest;

// --help and --version are answered, anything else is refused with one line
// that names it. None of them loads or saves anything, takes the lock, shows
// a window or asks a running copy to come forward.
TEST_F(CommandLineTest, AnswersItsOptionsAndRefusesTheRest) {
    const QString program = QFileInfo(QStringLiteral(KESTRUE_APP_PATH)).fileName();
    const QStringList help{QStringLiteral("用法：") + program, QStringLiteral("-h, --help"),
                           QStringLiteral("-v, --version")};
    const QStringList version{AppName + QStringLiteral(" " KESTRUE_VERSION "\n")};
    const struct {
        QStringList arguments;
        QStringList out; // how it starts, then what else it holds; empty for a refusal
        QString named;
    } cases[] = {
        {{QStringLiteral("--version")}, version, {}},
        {{QStringLiteral("-v")}, version, {}},
        {{QStringLiteral("--help")}, help, {}},
        {{QStringLiteral("-h")}, help, {}},
        {{QStringLiteral("--bogus")}, {}, QStringLiteral("--bogus")},
        // The toolkit's own option is refused too, so it never reaches it.
        {{QStringLiteral("-platform"), QStringLiteral("xcb")}, {}, QStringLiteral("-platform")},
        {{QStringLiteral("notes.txt")}, {}, QStringLiteral("notes.txt")},
        {{QStringLiteral("--version"), QStringLiteral("extra")}, {}, QStringLiteral("extra")},
        {{QStringLiteral("--version=1")}, {}, QStringLiteral("--version=1")},
    };
    const QStringList before = Everything(home());
    std::unique_ptr<App> first;
    for (const bool firstRuns : {false, true}) {
        if (firstRuns) {
            first = std::make_unique<App>(home());
            ASSERT_TRUE(first->waitFor(Listening, 10000)) << first->output();
        }
        for (const auto &c : cases) {
            SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString() +
                         (firstRuns ? ", a first copy running" : ""));
            const Ended ended = Launch(home(), c.arguments);
            if (c.named.isEmpty()) {
                EXPECT_EQ(ended.status, 0) << ended.err.toStdString();
                EXPECT_TRUE(ended.out.startsWith(c.out.constFirst()) &&
                            std::all_of(c.out.begin(), c.out.end(),
                                        [&](const QString &t) { return ended.out.contains(t); }))
                    << ended.out.toStdString();
                EXPECT_EQ(ended.err, QString());
            } else {
                EXPECT_EQ(ended.status, 2) << ended.err.toStdString();
                EXPECT_EQ(ended.out, QString());
                EXPECT_EQ(ended.err.count(QLatin1Char('\n')), 1) << ended.err.toStdString();
                EXPECT_TRUE(ended.err.startsWith(program + QStringLiteral("：")) &&
                            ended.err.contains(QStringLiteral("“%1”").arg(c.named)))
                    << ended.err.toStdString();
            }
        }
        if (!firstRuns) {
            EXPECT_EQ(Everything(home()), before) << "nothing is written in the home folder";
        }
    }
    EXPECT_FALSE(first->waitFor(Asked, 500)) << first->output();
    EXPECT_TRUE(first->running());
}

// Without a graphical session one line of ours says so, with status 1,
// instead of Qt's English abort.
TEST_F(CommandLineTest, WithoutAGraphicalSessionOneLineSaysSo) {
    QProcessEnvironment env = SandboxEnvironment(home());
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        env.remove(QLatin1String(name));
    }
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(KESTRUE_APP_PATH), {});
    ASSERT_TRUE(process.waitForFinished(10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(err, AppName + QStringLiteral("：没有找到图形会话，无法打开窗口。\n"));
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
