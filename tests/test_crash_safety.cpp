#include "Portability.h"
#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"
#include "engine/MoveItem.h"
#include "engine/TestHooks.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

int CountEntries(const QString &folder) {
    int count = 0;
    if (DIR *dir = ::opendir(QFile::encodeName(folder).constData())) {
        while (const dirent *entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

class CrashSafetyTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        target = root() + QStringLiteral("/Target");
        MakeDir(target);
        MakeDir(supportFolder());
    }
    QString manifestFile() const {
        return supportFolder() + QStringLiteral("/restore-manifest.json");
    }
    QString journalFile() const { return JournalPathFor(manifestFile()); }
    QStringList visible(const QString &folder) const {
        QStringList names = Names(folder);
        names.removeIf([](const QString &n) { return n.startsWith(QLatin1Char('.')); });
        return names;
    }
    // A fresh start of the application on the same home folder.
    std::unique_ptr<OrganizerAppDelegate> restart() { return FreshStart(); }

    QString target;
};

TEST_F(CrashSafetyTest, JournalReplayRecordsCompletedMovesOnce) {
    const auto d = [this](const char *n) {
        return desktop() + QLatin1Char('/') + QLatin1String(n);
    };
    const auto t = [this](const char *n) {
        return target + QLatin1Char('/') + QLatin1String(n);
    };
    WriteFile(t("done-line"), "1");
    WriteFile(t("moved-no-line"), "2");
    WriteFile(d("never-moved"), "3");
    WriteFile(t("already-recorded"), "4");
    // The move failed because another program took the name, then the
    // process died: the item is still on the Desktop, the other one is not ours.
    WriteFile(d("name-taken"), "mine");
    WriteFile(t("name-taken"), "another program's");
    delegate.setManifest(
        ManifestStore{RestoreRecord(d("already-recorded"), t("already-recorded"), 5)});
    delegate.saveManifest();
    {
        MoveJournal journal(journalFile());
        ASSERT_TRUE(journal.isOpen());
        journal.done(journal.begin(d("done-line"), t("done-line")), 1234);
        journal.begin(d("moved-no-line"), t("moved-no-line"));
        journal.begin(d("never-moved"), t("never-moved"));
        journal.begin(d("name-taken"), t("name-taken"));
        journal.done(journal.begin(d("already-recorded"), t("already-recorded")), 5);
        // The same move twice.
        journal.done(journal.begin(d("done-line"), t("done-line")), 1234);
        // Its own name was found taken, so it moved under a numbered one.
        journal.begin(d("renumbered"), t("renumbered"));
        journal.begin(d("renumbered"), t("renumbered 1"));
    }
    WriteFile(t("renumbered"), "another program's");
    WriteFile(t("renumbered 1"), "moved");
    QFile cut(journalFile());
    ASSERT_TRUE(cut.open(QIODevice::Append));
    cut.write(R"({"op":"begin","from":"/cut)"); // a write the kill cut short
    cut.close();
    {
        // The next run's lines after the cut one are read as lines of their own.
        MoveJournal journal(journalFile());
        journal.begin(d("after-cut"), t("after-cut"));
    }
    WriteFile(t("after-cut"), "5");

    auto next = restart();
    const ManifestStore &records = next->manifest();
    ASSERT_EQ(records.size(), 5) << records.encode().toStdString();
    EXPECT_EQ(records.at(0).storedPath(), t("already-recorded"));
    EXPECT_EQ(records.at(1), RestoreRecord(d("done-line"), t("done-line"), 1234));
    EXPECT_EQ(records.at(2).storedPath(), t("moved-no-line"));
    EXPECT_EQ(records.at(3).storedPath(), t("renumbered 1"));
    EXPECT_EQ(records.at(4).storedPath(), t("after-cut"));
    EXPECT_FALSE(EntryExists(journalFile())) << "the journal goes once the records are saved";
    EXPECT_EQ(ManifestStore::parse(ReadFile(manifestFile())), records);

    Restore(*next);
    EXPECT_EQ(ReadFile(d("name-taken")), "mine");
    EXPECT_EQ(ReadFile(t("name-taken")), "another program's") << "never brought to the Desktop";
    EXPECT_EQ(ReadFile(t("renumbered")), "another program's") << "never brought to the Desktop";
    EXPECT_EQ(ReadFile(d("renumbered")), "moved");
    EXPECT_FALSE(EntryExists(d("name-taken 1")));
}

// A start that adds records from a run cut short says how many.
TEST_F(CrashSafetyTest, RecordsAddedFromAnInterruptedRunAreTold) {
    {
        MoveJournal journal(journalFile());
        for (const QString &name :
             {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}) {
            journal.begin(desktop() + QLatin1Char('/') + name, target + QLatin1Char('/') + name);
            WriteFile((name == QLatin1String("c") ? desktop() : target) + '/' + name, "x");
        }
    }
    OrganizerAppDelegate next;
    next.applicationDidFinishLaunching();
    EXPECT_EQ(LogMessages(next).mid(1),
              QStringList{QStringLiteral("上次整理未正常结束：已补记 2 条还原记录。")});
}

TEST_F(CrashSafetyTest, JournalKeepsAwkwardNamesExactly) {
    const QStringList names{QStringLiteral("quote \" and \\ backslash"),
                            QStringLiteral("line\nbreak\ttab\u0001"), QStringLiteral("报告 🐶.pdf"),
                            QStringLiteral("\b\f\r\x1f\x7f end")};
    for (const QString &name : names) {
        WriteFile(target + QLatin1Char('/') + name, "x");
    }
    {
        MoveJournal journal(journalFile());
        for (const QString &name : names) {
            journal.begin(desktop() + QLatin1Char('/') + name, target + QLatin1Char('/') + name);
        }
    }
    bool exists = false;
    const std::vector<JournalMove> moves = ReadJournal(journalFile(), &exists);
    ASSERT_EQ(moves.size(), 4u);
    for (size_t i = 0; i < moves.size(); ++i) {
        EXPECT_EQ(moves[i].to, target + QLatin1Char('/') + names[static_cast<qsizetype>(i)]);
        EXPECT_TRUE(MoveCompleted(moves[i])) << "at its destination, gone from its source";
    }
    // Replayed into the manifest, saved, and read back strictly at the next
    // start: the same paths.
    restart();
    const auto next = restart();
    ASSERT_EQ(next->manifest().size(), names.size()) << next->manifest().encode().toStdString();
    for (qsizetype i = 0; i < names.size(); ++i) {
        EXPECT_EQ(next->manifest().at(i).storedPath(), target + QLatin1Char('/') + names[i]);
        EXPECT_EQ(next->manifest().at(i).originalPath(), desktop() + QLatin1Char('/') + names[i]);
    }
}

// Two runs whose saves fail: the second appends to the journal the first left,
// so after a restart the moves of both can be restored.
TEST_F(CrashSafetyTest, JournalOfAnEarlierRunSurvivesTheNextRun) {
    setTarget(target);
    // A folder where the manifest file belongs: every save fails.
    MakeDir(manifestFile() + QStringLiteral("/blocker"));
    for (const QString &name : {QStringLiteral("a"), QStringLiteral("b")}) {
        WriteFile(desktop() + QLatin1Char('/') + name, name.toUtf8());
        Organize(delegate);
        EXPECT_TRUE(EntryExists(journalFile()));
    }
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 4) << log.join(QLatin1Char('\n')).toStdString();
    for (qsizetype run = 0; run < 2; ++run) {
        EXPECT_TRUE(log[2 * run].startsWith(QStringLiteral("保存还原记录失败：")));
        EXPECT_NE(log[2 * run], QStringLiteral("保存还原记录失败："));
        EXPECT_EQ(log[2 * run + 1], QStringLiteral("整理完成：移动 1 个项目，跳过 0 个项目。"));
    }

    // Next start: the blocking folder is set aside, the journal replayed.
    auto next = restart();
    ASSERT_EQ(next->manifest().size(), 2) << next->manifest().encode().toStdString();
    EXPECT_FALSE(EntryExists(journalFile()));
    Restore(*next);
    EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/a")), "a");
    EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/b")), "b");
    EXPECT_TRUE(visible(target).isEmpty());
}

TEST_F(CrashSafetyTest, SaveFailureIsToldWithItsCause) {
    ASSERT_TRUE(QDir(supportFolder()).removeRecursively());
    WriteFile(supportFolder(), "a file where the support folder belongs");
    setTarget(target);
    Organize(delegate);
    EXPECT_EQ(logMessages(),
              (QStringList{QStringLiteral("保存还原记录失败：路径中有一项不是文件夹"),
                           QStringLiteral("整理完成：移动 0 个项目，跳过 0 个项目。")}));
    EXPECT_TRUE(EntryExists(target + QStringLiteral("/.desktop-organizer-restore.json")))
        << "the mirror is written regardless";
}

// An fsync that fails (an I/O error, a quota on a network disk) fails the
// save: it is told, and the previous file stays as it was, byte for byte.
TEST_F(CrashSafetyTest, SaveWhoseSyncFailsKeepsThePreviousFile) {
    const auto record = [this](const char *name) {
        return RestoreRecord(desktop() + QLatin1Char('/') + QLatin1String(name),
                             target + QLatin1Char('/') + QLatin1String(name), 1700000000);
    };
    delegate.setManifest(ManifestStore{record("a")});
    delegate.saveManifest();
    const QByteArray previous = ReadFile(manifestFile());
    ASSERT_EQ(ManifestStore::parse(previous), delegate.manifest());
    const QStringList files = Names(supportFolder());

    const QByteArray temporaries =
        QFile::encodeName(supportFolder() + QStringLiteral("/.restore-manifest.json."));
    TestHooks().syncFault = [temporaries](const QByteArray &path) {
        return path.startsWith(temporaries) ? EIO : 0;
    };
    delegate.setManifest(ManifestStore{record("a"), record("b")});
    delegate.saveManifest();
    TestHooks().syncFault = {};
    EXPECT_EQ(logMessages(), QStringList{QStringLiteral("保存还原记录失败：磁盘读写错误")});
    EXPECT_EQ(ReadFile(manifestFile()).toStdString(), previous.toStdString());
    EXPECT_EQ(Names(supportFolder()), files) << "no temporary file is left";
}

TEST_F(CrashSafetyTest, UnusableManifestsAreSetAsideNeverReplaced) {
    const QByteArray contents[] = {"{\"records\": [1]}", "[1, 2", "not json at all"};
    for (const QByteArray &bytes : contents) {
        WriteFile(manifestFile(), bytes);
        auto next = restart();
        EXPECT_TRUE(next->manifest().isEmpty());
        next->saveManifest();
    }
    QList<QByteArray> kept;
    for (const QString &name : Names(supportFolder())) {
        if (name.startsWith(QStringLiteral("restore-manifest.unreadable-"))) {
            kept.append(ReadFile(supportFolder() + QLatin1Char('/') + name));
        }
    }
    std::sort(kept.begin(), kept.end());
    QList<QByteArray> expected(std::begin(contents), std::end(contents));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(ManifestStore::parse(ReadFile(manifestFile())), ManifestStore());

    // Empty and missing files hold no records: nothing to keep.
    WriteFile(manifestFile(), "");
    restart();
    EXPECT_EQ(Names(supportFolder()).size(), 4);
}

// A process killed at a random moment of an organize run: a fresh start plus
// restore always brings every item back, and no record is missing or doubled.
TEST_F(CrashSafetyTest, KilledRunsLoseNoRecord) {
    constexpr int Items = 300;
    constexpr int Kills = 50;
    QStringList names;
    for (int i = 0; i < Items; ++i) {
        const QString name = QStringLiteral("项目 %1%2").arg(i).arg(i % 4 == 0 ? "" : ".txt");
        names.append(name);
        if (i % 4 == 0) {
            MakeDir(desktop() + QLatin1Char('/') + name);
            WriteFile(desktop() + QLatin1Char('/') + name + QStringLiteral("/inner"),
                      name.toUtf8());
        } else {
            WriteFile(desktop() + QLatin1Char('/') + name, name.toUtf8());
        }
    }
    names.sort();
    QSettings().setValue(TargetFolderKey, target);
    QSettings().sync();

    const QProcessEnvironment env = SandboxEnvironment(home());
    const auto runChild = [&env](QProcess &child) {
        child.setProcessEnvironment(env);
        child.start(QStringLiteral(KESTRUE_CHILD_PATH), {});
        return child.waitForStarted() && child.waitForReadyRead(10000);
    };

    // One full run measures how long a run takes on this machine.
    qint64 runMicros = 0;
    {
        QProcess child;
        ASSERT_TRUE(runChild(child));
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(child.waitForFinished(30000));
        runMicros = std::max<qint64>(clock.nsecsElapsed() / 1000, 1000);
        auto next = restart();
        ASSERT_EQ(next->manifest().size(), Items);
        Restore(*next);
        ASSERT_EQ(visible(desktop()), names);
    }

    int partial = 0;
    QRandomGenerator random(20261207);
    for (int kill = 0; kill < Kills; ++kill) {
        QProcess child;
        ASSERT_TRUE(runChild(child));
        if (kill % 2 == 0) {
            // At a random moment, the start-up and the save included.
            QThread::usleep(random.bounded(static_cast<quint64>(runMicros)));
        } else {
            // Once a random number of items has arrived, so most kills land
            // in the walk whatever the machine's speed.
            const int threshold = static_cast<int>(random.bounded(1, Items));
            QElapsedTimer waited;
            waited.start();
            while (CountEntries(target) < threshold && waited.elapsed() < 10000 &&
                   child.state() == QProcess::Running) {
            }
        }
        child.kill();
        child.waitForFinished();

        const int inTarget = static_cast<int>(visible(target).size());
        partial += inTarget > 0 && inTarget < Items ? 1 : 0;
        ASSERT_EQ(inTarget + visible(desktop()).size(), Items) << "kill " << kill;

        auto next = restart();
        // The save is written while the run goes on: its unfinished files go.
        for (const QString &folder : {supportFolder(), target}) {
            for (const QString &name : Names(folder)) {
                ASSERT_FALSE(name.startsWith(QLatin1Char('.')) && name.contains(".json."))
                    << "kill " << kill << ": " << name.toStdString() << " left in "
                    << folder.toStdString();
            }
        }
        QSet<QString> stored;
        for (const ManifestElement &record : next->manifest()) {
            stored.insert(record.storedPath());
        }
        ASSERT_EQ(next->manifest().size(), inTarget)
            << "kill " << kill << ": a record missing or doubled";
        ASSERT_EQ(stored.size(), inTarget) << "kill " << kill;
        Restore(*next);
        ASSERT_EQ(visible(desktop()), names) << "kill " << kill;
        ASSERT_TRUE(visible(target).isEmpty()) << "kill " << kill;
        ASSERT_TRUE(next->manifest().isEmpty());
    }
    for (int i = 0; i < Items; i += 37) {
        const QString path = desktop() + QLatin1Char('/') +
                             QStringLiteral("项目 %1%2").arg(i).arg(i % 4 == 0 ? "" : ".txt");
        EXPECT_EQ(ReadFile(i % 4 == 0 ? path + QStringLiteral("/inner") : path),
                  QStringLiteral("项目 %1%2").arg(i).arg(i % 4 == 0 ? "" : ".txt").toUtf8());
    }
    EXPECT_GE(partial, Kills / 5) << "too few kills landed in the middle of a run";
}

// Kills at each step of moves to another volume: after a fresh start and a
// restore every item is back whole, nothing doubled, no half copy left.
TEST_F(CrashSafetyTest, KillsAtEachStepOfACrossVolumeMoveLoseNothing) {
    SmallDisk disk(target, "size=16m");
    REQUIRE_MOUNTED(disk);
    QSettings().setValue(TargetFolderKey, target);
    QSettings().sync();
    QProcessEnvironment env = SandboxEnvironment(home());

    for (const char *kill :
         {"copy:2", "copy:6", "placed:1", "placed:2", "remove:1", "remove:3", "remove:6"}) {
        SCOPED_TRACE(kill);
        ASSERT_TRUE(QDir(desktop()).removeRecursively());
        for (const char *folder : {"相册/a/b", "docs/y"}) {
            MakeDir(desktop() + QLatin1Char('/') + QString::fromUtf8(folder));
        }
        for (const char *file : {"相册/a/1.txt", "相册/a/b/2.txt", "相册/3.txt", "docs/x.txt",
                                 "docs/y/z.txt", "note.txt"}) {
            WriteFile(desktop() + QLatin1Char('/') + QString::fromUtf8(file),
                      QByteArray(file).repeated(100));
        }
        ASSERT_TRUE(QFile::link(QStringLiteral("a/1.txt"), desktop() + QStringLiteral("/相册/l")));
        const QStringList before = Tree(desktop());

        ASSERT_TRUE(ChildKilledAt(env, QString::fromLatin1(kill))) << "the kill never came";

        auto next = restart();
        for (const QString &name : Names(target)) {
            EXPECT_FALSE(name.startsWith(QStringLiteral(".kestrue-moving-"))) << name.toStdString();
        }
        EXPECT_FALSE(EntryExists(journalFile()));
        Restore(*next);
        EXPECT_EQ(Tree(desktop()), before);
        EXPECT_TRUE(visible(target).isEmpty()) << visible(target).join(' ').toStdString();
        EXPECT_TRUE(next->manifest().isEmpty());
    }
}

// Killed while removing the source of a move to another volume; the user then
// edits files still on the Desktop. The next start finishes the move but
// leaves each edited file where it is: it is not what was copied.
TEST_F(CrashSafetyTest, FileEditedAfterAKillStaysOnTheDesktop) {
    SmallDisk disk(target, "size=16m");
    REQUIRE_MOUNTED(disk);
    QSettings().setValue(TargetFolderKey, target);
    QSettings().sync();
    const QString folder = desktop() + QStringLiteral("/相册");
    MakeDir(folder);
    for (const char *name : {"same.txt", "longer.txt", "touched.txt"}) {
        WriteFile(folder + QLatin1Char('/') + QLatin1String(name), name);
    }
    ASSERT_TRUE(ChildKilledAt(SandboxEnvironment(home()), QStringLiteral("remove:1")))
        << "the kill never came";
    ASSERT_EQ(Names(folder).size(), 3) << "killed before the first source entry went";

    // New contents and size; the same size with a new modification time.
    WriteFile(folder + QStringLiteral("/longer.txt"), "edited, and longer");
    WriteFile(folder + QStringLiteral("/touched.txt"), "TOUCHED.TXT");
    const timespec times[2] = {{0, UTIME_OMIT}, {1600000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD,
                          QFile::encodeName(folder + QStringLiteral("/touched.txt")).constData(),
                          times, 0),
              0);

    const auto next = restart();
    EXPECT_EQ(Names(folder),
              (QStringList{QStringLiteral("longer.txt"), QStringLiteral("touched.txt")}));
    EXPECT_EQ(ReadFile(folder + QStringLiteral("/longer.txt")), "edited, and longer");
    EXPECT_EQ(ReadFile(folder + QStringLiteral("/touched.txt")), "TOUCHED.TXT");
    ASSERT_EQ(next->manifest().size(), 1);
    EXPECT_EQ(ReadFile(next->manifest().at(0).storedPath() + QStringLiteral("/longer.txt")),
              "longer.txt");
}

// A source that holds what its copy lacks (added while the copy was made)
// keeps that part where it is, and the start says so.
TEST_F(CrashSafetyTest, InterruptedSourceKeepsWhatTheCopyLacks) {
    const QString from = desktop() + QStringLiteral("/F");
    const QString to = target + QStringLiteral("/F");
    for (const QString &folder : {from, to}) {
        MakeDir(folder);
        WriteFile(folder + QStringLiteral("/a.txt"), "same");
    }
    WriteFile(from + QStringLiteral("/added later.txt"), "new");
    {
        MoveJournal journal(journalFile());
        const MoveJournal::Mark move = journal.begin(from, to);
        journal.copying(move, QFile::encodeName(target + QStringLiteral("/.kestrue-moving-x")));
        journal.placed(move);
    }
    OrganizerAppDelegate next;
    next.applicationDidFinishLaunching();
    const QStringList lines = next.logView()->toPlainText().split(QLatin1Char('\n'));
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(
        lines[1].endsWith(QStringLiteral("] 整理 F 时被中断，桌面上剩余的 %1 已保留").arg(from)))
        << lines[1].toStdString();
    EXPECT_EQ(Names(from), QStringList{QStringLiteral("added later.txt")});
    ASSERT_EQ(next.manifest().size(), 1);
    EXPECT_EQ(next.manifest().at(0).storedPath(), to);
}

// Another process takes destination names while a run is under way: what it
// created keeps its content, and every Desktop item stays findable.
TEST_F(CrashSafetyTest, RacingCreatorIsNeverReplaced) {
    constexpr int Items = 400;
    QStringList names;
    for (int i = 0; i < Items; ++i) {
        names.append(QStringLiteral("f%1.txt").arg(i));
        WriteFile(desktop() + QLatin1Char('/') + names.last(), names.last().toUtf8());
    }
    setTarget(target);
    std::atomic<bool> stop{false};
    std::vector<QByteArray> created;
    std::thread creator([&] {
        while (!stop.load()) {
            for (int i = Items - 1; i >= 0 && !stop.load(); --i) {
                for (const QString &name :
                     {QStringLiteral("f%1.txt").arg(i), QStringLiteral("f%1 1.txt").arg(i)}) {
                    const QByteArray path = QFile::encodeName(target + QLatin1Char('/') + name);
                    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                    if (fd >= 0) {
                        (void)::write(fd, "pre-existing", 12);
                        ::close(fd);
                        created.push_back(path);
                    }
                }
            }
        }
    });
    Organize(delegate);
    stop = true;
    creator.join();
    ASSERT_FALSE(created.empty());
    for (const QByteArray &path : created) {
        char buffer[32] = {};
        const int fd = ::open(path.constData(), O_RDONLY);
        ASSERT_GE(fd, 0);
        const ssize_t got = ::read(fd, buffer, sizeof(buffer));
        ::close(fd);
        EXPECT_EQ(QByteArray(buffer, static_cast<int>(got)), "pre-existing") << path.constData();
    }
    QSet<QString> found;
    for (const QJsonValue value : ValuesOf(delegate.manifest())) {
        const QJsonObject record = value.toObject();
        EXPECT_EQ(ReadFile(record.value(QStringLiteral("storedPath")).toString()),
                  record.value(QStringLiteral("name")).toString().toUtf8());
        found.insert(record.value(QStringLiteral("name")).toString());
    }
    for (const QString &name : names) {
        if (!found.contains(name)) {
            EXPECT_EQ(ReadFile(desktop() + QLatin1Char('/') + name), name.toUtf8())
                << name.toStdString();
        }
    }
}

TEST_F(CrashSafetyTest, DeviceNodesAreRefusedAcrossVolumes) {
    const QByteArray node = QFile::encodeName(root() + QStringLiteral("/null-device"));
    if (::mknod(node.constData(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
        GTEST_SKIP() << "cannot make a device node here";
    }
    Error error;
    EXPECT_FALSE(move_detail::MoveAcrossVolumes(
        node, QFile::encodeName(target + QStringLiteral("/dev")), &error));
    EXPECT_EQ(error.description, QStringLiteral("无法跨磁盘移动管道、套接字或设备文件"));
    EXPECT_TRUE(EntryExists(QFile::decodeName(node)));
}

} // namespace
