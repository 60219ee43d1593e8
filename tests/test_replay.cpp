// What a start-up makes of a journal that runs left behind: a record for
// each item that moved, none for one that did not, and nothing of another
// program's ever taken for ours.

#include "Portability.h"
#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/Journal.h"
#include "engine/ManifestRecovery.h"
#include "engine/Runs.h"
#include "engine/TestHooks.h"

#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <atomic>
#include <functional>

namespace {

class ReplayTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        target = root() + QStringLiteral("/Target");
        MakeDir(target);
        MakeDir(supportFolder());
    }
    void TearDown() override {
        TestHooks().syncFault = {};
        ControllerTest::TearDown();
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

    QString target;
};

// A move to another volume whose placed line could not be synced: the copy
// is taken away and the item stays. The line itself reached the file, so a
// start after a save that never came must not take it for a move.
TEST_F(ReplayTest, APlacedLineWhoseSyncFailedIsNoMove) {
    SmallDisk other(target, "size=4m");
    REQUIRE_MOUNTED(other);
    WriteFile(desktop() + QStringLiteral("/a"), "mine");
    const QByteArray journal = QFile::encodeName(journalFile());
    std::atomic<int> journalSyncs{0};
    TestHooks().syncFault = [&](const QByteArray &path) {
        // The announcement, the copy's name, then its placing.
        return path == journal && ++journalSyncs == 3 ? EIO : 0;
    };
    const OrganizeOutcome outcome =
        RunOrganize({desktop(), target, journalFile(), nullptr}, RunSink{});
    TestHooks().syncFault = {};
    ASSERT_EQ(journalSyncs, 3);
    EXPECT_EQ(outcome.moved, 0);
    EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/a")), "mine");
    EXPECT_TRUE(Names(target).isEmpty());

    bool replayed = false;
    QStringList notices;
    const ManifestStore records = ReadManifestFile(manifestFile(), &replayed, &notices);
    EXPECT_TRUE(replayed);
    EXPECT_TRUE(records.isEmpty()) << records.encode().toStdString();
    EXPECT_TRUE(notices.isEmpty()) << notices.join(QLatin1Char('\n')).toStdString();
}

// While saves fail, the journal is kept across runs: an organize, a restore
// of what it moved, another program's file under the freed name, and an
// organize that numbers the item. The first run's finished move must not be
// taken for the record of the other program's file.
TEST_F(ReplayTest, RunsOfAKeptJournalReplayOnTheirOwnTerms) {
    setTarget(target);
    MakeDir(manifestFile() + QStringLiteral("/blocker")); // every save fails
    WriteFile(desktop() + QStringLiteral("/a.txt"), "mine");
    Organize(delegate);
    Restore(delegate);
    ASSERT_EQ(ReadFile(desktop() + QStringLiteral("/a.txt")), "mine");
    WriteFile(target + QStringLiteral("/a.txt"), "another program's");
    Organize(delegate);
    ASSERT_EQ(ReadFile(target + QStringLiteral("/a 1.txt")), "mine");
    ASSERT_TRUE(EntryExists(journalFile()));

    auto next = FreshStart();
    ASSERT_EQ(next->manifest().size(), 1) << next->manifest().encode().toStdString();
    EXPECT_EQ(next->manifest().at(0).storedPath(), target + QStringLiteral("/a 1.txt"));
    Restore(*next);
    EXPECT_EQ(visible(desktop()), QStringList{QStringLiteral("a.txt")});
    EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/a.txt")), "mine");
    EXPECT_EQ(ReadFile(target + QStringLiteral("/a.txt")), "another program's");
}

// Journals as runs leave them, some of their bytes cut off or overwritten:
// a line pairs only with a whole line of its own run, and a move begun again
// from the same place replaces the one before only if that one never finished.
TEST_F(ReplayTest, JournalLinesPairWithinTheirRunAndOnlyWhenWhole) {
    const QString path = journalFile();
    const auto cut = [&](qint64 count) { // a write cut short
        ASSERT_TRUE(QFile::resize(path, QFileInfo(path).size() - count));
    };
    const auto overwrite = [&](const QByteArray &was, const QByteArray &now) { // a torn write
        QByteArray text = ReadFile(path);
        ASSERT_GE(text.indexOf(was), 0);
        WriteFile(path, text.replace(was, now));
    };
    const auto s = [](const char *text) {
        return QString::fromUtf8(text);
    };
    struct Case {
        const char *what;
        std::function<void()> write;
        QStringList read; // each move as from>to and what its lines say
    };
    const Case cases[] = {
        {"begun again under a numbered name",
         [&] {
             MoveJournal run(path);
             run.begin(s("d/a"), s("t/a"));
             run.done(run.begin(s("d/a"), s("t/a 1")), 5);
         },
         {"d/a>t/a 1 done 5"}},
        {"finished moves whose sources are begun again",
         [&] {
             MoveJournal run(path);
             run.done(run.begin(s("d/a"), s("t/a")), 5);
             const MoveJournal::Mark b = run.begin(s("d/b"), s("t/b"));
             run.copying(b, "t/.b");
             run.placed(b);
             run.begin(s("d/a"), s("t/a 1"));
             run.begin(s("d/b"), s("t/b 1"));
         },
         {"d/a>t/a done 5", "d/b>t/b placed", "d/a>t/a 1", "d/b>t/b 1"}},
        {"a cut line, then a run appended that begins its item again",
         [&] {
             {
                 MoveJournal first(path);
                 first.done(first.begin(s("d/a"), s("t/a")), 5);
             }
             cut(3);
             MoveJournal second(path);
             second.done(second.begin(s("d/a"), s("t/a 1")), 6);
         },
         {"d/a>t/a", "d/a>t/a 1 done 6"}},
        {"an overwritten line",
         [&] {
             {
                 MoveJournal run(path);
                 run.done(run.begin(s("d/apple"), s("t/apple")), 5);
                 run.begin(s("d/c"), s("t/c"));
             }
             overwrite("d/apple", "d/maple");
         },
         {"d/c>t/c"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QFile::remove(path);
        c.write();
        bool exists = false;
        QStringList read;
        for (const JournalMove &move : ReadJournal(path, &exists)) {
            read.append(move.from + QLatin1Char('>') + move.to +
                        (move.done ? QStringLiteral(" done %1").arg(move.movedAt) : QString()) +
                        (move.placed ? QStringLiteral(" placed") : QString()));
        }
        EXPECT_TRUE(exists);
        EXPECT_EQ(read, c.read) << ReadFile(path).toStdString();
    }
}

// Kills inside the stand-ins for a rename without replacing: between the
// link and the unlink, and between the claim on a name and the rename onto
// it. After a fresh start each item is in one place, with a record where it
// moved, and a restore brings all of them back with nothing left behind.
TEST_F(ReplayTest, KillsInsideTheStandInsForANoReplaceRenameLeaveNothingStray) {
    struct Case {
        const char *fallback;
        const char *step;
        int arrival;
        bool acrossVolumes; // the claim is for a finished copy's name
    };
    for (const Case c : {Case{"link", "linked", 1, false}, Case{"link", "linked", 2, false},
                         Case{"claim", "claimed", 1, false}, Case{"claim", "claimed", 2, false},
                         Case{"claim", "claimed", 3, false}, Case{"claim", "claimed", 1, true},
                         Case{"claim", "claimed", 3, true}}) {
        SCOPED_TRACE(std::string(c.step) + ":" + std::to_string(c.arrival) +
                     (c.acrossVolumes ? " across volumes" : ""));
        std::unique_ptr<SmallDisk> other;
        if (c.acrossVolumes) {
            other = std::make_unique<SmallDisk>(target, "size=4m");
            REQUIRE_MOUNTED(*other);
        }
        WriteFile(desktop() + QStringLiteral("/a.txt"), "a");
        WriteFile(desktop() + QStringLiteral("/b.txt"), "b");
        MakeDir(desktop() + QStringLiteral("/相册"));
        WriteFile(desktop() + QStringLiteral("/相册/p.jpg"), "p");
        QSettings().setValue(TargetFolderKey, target);
        QSettings().sync();

        QProcessEnvironment env = SandboxEnvironment(home());
        env.insert(QStringLiteral("KESTRUE_FALLBACK"),
                   QLatin1String(c.fallback) +
                       (c.acrossVolumes ? QStringLiteral("-copies") : QString()));
        ASSERT_TRUE(
            ChildKilledAt(env, QStringLiteral("%1:%2").arg(QLatin1String(c.step)).arg(c.arrival)))
            << "the kill was never reached";

        auto next = FreshStart();
        const qsizetype inTarget = visible(target).size();
        EXPECT_EQ(inTarget + visible(desktop()).size(), 3) << "an item in two places";
        EXPECT_EQ(next->manifest().size(), inTarget) << next->manifest().encode().toStdString();
        Restore(*next);
        EXPECT_EQ(visible(desktop()), (QStringList{QStringLiteral("a.txt"), QStringLiteral("b.txt"),
                                                   QStringLiteral("相册")}));
        EXPECT_EQ(ReadFile(desktop() + QStringLiteral("/相册/p.jpg")), "p");
        EXPECT_TRUE(visible(target).isEmpty());
    }
}

} // namespace
