// The organize and restore passes, and the target preparation before them,
// as engine units: real folders, no window, QtCore only.

#include "Portability.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"
#include "engine/PathRules.h"
#include "engine/Runs.h"
#include "engine/TargetPreparation.h"
#include "engine/TestHooks.h"
#ifdef __linux__
#include "PowerCut.h"
#endif

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QTemporaryDir>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <sys/stat.h>
#include <vector>

// Readable QString values in assertion messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &text, std::ostream *out) {
    *out << '"' << text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

class EngineRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        desktop = dir.path() + QStringLiteral("/Desktop");
        target = dir.path() + QStringLiteral("/Target");
        ASSERT_TRUE(QDir().mkpath(desktop));
        ASSERT_TRUE(QDir().mkpath(target));
    }
    void TearDown() override {
        TestHooks().moveFault = {};
        TestHooks().syncFault = {};
    }

    void write(const QString &path, const QByteArray &bytes = "x") {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    QStringList names(const QString &folder) const {
        QStringList list = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        list.sort();
        return list;
    }
    OrganizeOutcome organize(const QString &into, const RunSink &sink = {},
                             const std::atomic<bool> *stop = nullptr) {
        return RunOrganize({desktop, into, dir.path() + QStringLiteral("/journal"), stop}, sink);
    }

    // A folder on another volume than the Desktop, or empty.
    QString otherVolume() {
        other = std::make_unique<QTemporaryDir>(QStringLiteral("/dev/shm/kestrue-test-XXXXXX"));
        struct stat here {};
        struct stat there {};
        if (!other->isValid() || ::stat(QFile::encodeName(dir.path()).constData(), &here) != 0 ||
            ::stat(QFile::encodeName(other->path()).constData(), &there) != 0 ||
            here.st_dev == there.st_dev) {
            return {};
        }
        return other->path();
    }

    QTemporaryDir dir;
    std::unique_ptr<QTemporaryDir> other;
    QString desktop;
    QString target;
};

// Each item's free name is the one free at its own turn: an earlier move in
// the same folder frees the name it leaves.
TEST_F(EngineRunTest, NamesAreChosenOneMoveAtATimeInsideTheDesktop) {
    constexpr int Pairs = 24;
    for (int i = 0; i < Pairs; ++i) {
        write(desktop + QStringLiteral("/c%1.txt").arg(i));
        write(desktop + QStringLiteral("/c%1 1.txt").arg(i));
    }
    std::vector<DirectoryEntry> listing;
    ASSERT_TRUE(ListDirectory(desktop, &listing, nullptr));
    const OrganizeOutcome outcome = organize(desktop);
    ASSERT_EQ(outcome.moved, 2 * Pairs);

    int numberedFirst = 0;
    for (int i = 0; i < Pairs; ++i) {
        const QString plain = QStringLiteral("c%1.txt").arg(i);
        const QString numbered = QStringLiteral("c%1 1.txt").arg(i);
        const auto at = [&listing](const QString &name) {
            return std::find_if(listing.begin(), listing.end(),
                                [&name](const DirectoryEntry &e) { return e.name() == name; });
        };
        if (at(numbered) > at(plain)) {
            continue;
        }
        ++numberedFirst;
        // "c 1.txt" went first and became "c 1 1.txt", freeing "c 1.txt".
        for (const ManifestElement &record : outcome.records) {
            if (LastPathComponent(record.originalPath()) == plain) {
                EXPECT_EQ(record.storedPath(), desktop + QLatin1Char('/') + numbered);
            }
        }
    }
    ASSERT_GT(numberedFirst, 0) << "the listing never put a numbered name first";
}

// Large batches planned ahead: the names are still those each item would get
// at its own turn, in listing order, and a stop keeps every move that was
// made.
TEST_F(EngineRunTest, LargeBatchesNumberAndStopAsOneAtATime) {
    constexpr int Pairs = 24;
    constexpr int Fillers = 200;
    for (int i = 0; i < Pairs; ++i) {
        write(desktop + QStringLiteral("/c%1.txt").arg(i));
        write(desktop + QStringLiteral("/c%1 1.txt").arg(i));
        write(target + QStringLiteral("/c%1.txt").arg(i));
    }
    for (int i = 0; i < Fillers; ++i) {
        write(desktop + QStringLiteral("/f%1.txt").arg(i));
        if (i % 10 == 0) {
            write(target + QStringLiteral("/f%1.txt").arg(i));
        }
    }
    std::vector<DirectoryEntry> listing;
    ASSERT_TRUE(ListDirectory(desktop, &listing, nullptr));
    const auto at = [&listing](const QString &name) {
        return std::find_if(listing.begin(), listing.end(),
                            [&name](const DirectoryEntry &e) { return e.name() == name; });
    };
    const OrganizeOutcome outcome = organize(target);
    ASSERT_EQ(outcome.moved, 2 * Pairs + Fillers);
    QHash<QString, QString> stored;
    for (const ManifestElement &record : outcome.records) {
        stored.insert(LastPathComponent(record.originalPath()),
                      LastPathComponent(record.storedPath()));
    }
    int plainFirst = 0;
    for (int i = 0; i < Pairs; ++i) {
        const QString plain = QStringLiteral("c%1.txt").arg(i);
        const QString numbered = QStringLiteral("c%1 1.txt").arg(i);
        if (at(plain) < at(numbered)) {
            ++plainFirst; // it took "c 1.txt" before the item of that name came
            EXPECT_EQ(stored.value(plain), numbered);
            EXPECT_EQ(stored.value(numbered), QStringLiteral("c%1 1 1.txt").arg(i));
        } else {
            EXPECT_EQ(stored.value(numbered), numbered);
            EXPECT_EQ(stored.value(plain), QStringLiteral("c%1 2.txt").arg(i));
        }
    }
    EXPECT_GT(plainFirst, 0) << "the listing never put a plain name first";
    for (int i = 0; i < Fillers; ++i) {
        const QString name = QStringLiteral("f%1.txt").arg(i);
        EXPECT_EQ(stored.value(name), i % 10 == 0 ? QStringLiteral("f%1 1.txt").arg(i) : name);
    }

    // A stop part-way through a large batch.
    for (const QString &name : names(target)) {
        QFile::remove(target + QLatin1Char('/') + name);
    }
    for (const QString &name : names(desktop)) {
        QFile::remove(desktop + QLatin1Char('/') + name);
    }
    constexpr int Items = 600;
    for (int i = 0; i < Items; ++i) {
        write(desktop + QStringLiteral("/s%1").arg(i));
    }
    std::atomic<bool> stop{false};
    RunSink sink;
    sink.progress = [&stop](const RunProgress &progress) {
        if (progress.done >= 300) {
            stop = true;
        }
    };
    const OrganizeOutcome stopped = organize(target, sink, &stop);
    EXPECT_TRUE(stopped.stopped);
    EXPECT_EQ(stopped.moved + stopped.skipped, Items);
    EXPECT_EQ(stopped.records.size(), stopped.moved);
    EXPECT_EQ(names(target).size(), stopped.moved);
    EXPECT_EQ(names(desktop).size(), Items - stopped.moved);
    for (const ManifestElement &record : stopped.records) {
        EXPECT_TRUE(QFile::exists(record.storedPath()));
        EXPECT_FALSE(QFile::exists(record.originalPath()));
    }
}

// A large batch with failing moves tells its failures in listing order.
TEST_F(EngineRunTest, FailingMovesInALargeBatchAreToldInListingOrder) {
    constexpr int Items = 200;
    for (int i = 0; i < Items; ++i) {
        write(desktop + QStringLiteral("/%1%2").arg(i % 7 == 0 ? "fail-" : "f").arg(i));
    }
    std::vector<DirectoryEntry> listing;
    ASSERT_TRUE(ListDirectory(desktop, &listing, nullptr));
    QStringList expected;
    for (const DirectoryEntry &entry : listing) {
        if (entry.name().startsWith(QStringLiteral("fail-"))) {
            expected.append(QStringLiteral("跳过 %1：没有权限").arg(entry.name()));
        }
    }
    TestHooks().moveFault = [](const QByteArray &source) {
        return source.contains("/fail-") ? EACCES : 0;
    };
    QStringList messages;
    RunSink sink;
    sink.message = [&messages](const QString &m) {
        messages.append(m);
    };
    const OrganizeOutcome outcome = organize(target, sink);
    EXPECT_EQ(messages, expected);
    EXPECT_EQ(outcome.skipped, expected.size());
    EXPECT_EQ(outcome.moved + outcome.skipped, Items);
}

// Another program takes the numbered name chosen for an item before the
// item gets there: the item is numbered anew, and the other file stays.
TEST_F(EngineRunTest, ANumberedNameTakenMeanwhileIsNumberedAnew) {
    write(desktop + QStringLiteral("/a.txt"), "organized");
    write(target + QStringLiteral("/a.txt"), "there before");
    QHash<QByteArray, int> tries;
    TestHooks().moveFault = [&](const QByteArray &source) {
        if (++tries[source] == 2) { // the numbered name's turn
            write(target + QStringLiteral("/a 1.txt"), "another program's");
        }
        return 0;
    };
    const OrganizeOutcome organized = organize(target);
    EXPECT_EQ(organized.moved, 1);
    EXPECT_EQ(QFile(target + QStringLiteral("/a 2.txt")).size(), 9);
    EXPECT_EQ(QFile(target + QStringLiteral("/a 1.txt")).size(), 17);

    // The same on the way back.
    tries.clear();
    TestHooks().moveFault = [&](const QByteArray &source) {
        if (++tries[source] == 2) {
            write(desktop + QStringLiteral("/a 1.txt"), "another program's");
        }
        return 0;
    };
    write(desktop + QStringLiteral("/a.txt"), "new on the desktop");
    const RestoreOutcome restored = RunRestore({organized.records, QString(), nullptr}, {});
    EXPECT_EQ(restored.restored, 1);
    EXPECT_EQ(QFile(desktop + QStringLiteral("/a 2.txt")).size(), 9);
    EXPECT_EQ(QFile(desktop + QStringLiteral("/a 1.txt")).size(), 17);
}

#ifdef __linux__
// The names that moves made one at a time give on a volume that ignores
// case: each listed item in turn gets its own name or the first numbered one
// that no name taken before it matches in any letter case.
QHash<QString, QString> OneAtATimeIgnoringCase(const QString &desktop, const QStringList &taken) {
    std::vector<DirectoryEntry> listing;
    EXPECT_TRUE(ListDirectory(desktop, &listing, nullptr));
    QSet<QString> used;
    for (const QString &name : taken) {
        used.insert(name.toCaseFolded());
    }
    QHash<QString, QString> stored;
    for (const DirectoryEntry &entry : listing) {
        const NameSplit split = SplitForNumbering(entry.name());
        QString name = entry.name();
        for (qint64 n = 1; used.contains(name.toCaseFolded()); ++n) {
            name = NumberedPath(split, n);
        }
        used.insert(name.toCaseFolded());
        stored.insert(entry.name(), name);
    }
    return stored;
}

// On a volume that ignores case (a USB stick's exFAT), every item gets the
// name it would get if moved on its own; none is skipped because another
// item of the run took its name in other letters. Carried there from another
// volume, renamed in order, split, and brought back.
TEST_F(EngineRunTest, OnAVolumeThatIgnoresCaseEachItemIsNamedAsOnItsOwn) {
    Volume usb(QStringLiteral("exfat"), dir.path() + QStringLiteral("/usb"));
    const QString why = usb.make();
    if (!why.isEmpty()) {
        GTEST_SKIP() << why.toStdString();
    }
    ASSERT_FALSE(HasFailure());
    const QString on = usb.mountPoint();
    // "p1.txt" and "P1 1.txt" in both orders, "p1.txt" taken in the target.
    const auto pairs = [](int count, QStringList *items, QStringList *taken) {
        for (int k = 0; k < count; ++k) {
            QStringList pair{QStringLiteral("p%1.txt").arg(k), QStringLiteral("P%1 1.txt").arg(k)};
            *items << pair.at(k % 2) << pair.at(1 - k % 2);
            *taken << pair.at(0);
        }
    };
    struct Case {
        const char *what;
        QString desktop;
        QString target;
        QStringList items;
        QStringList taken; // in the target before the run
    } cases[] = {
        {"carried from another volume",
         desktop,
         on + QStringLiteral("/T1"),
         {"A.txt", "a.txt", "Report.txt", "report.TXT", "照片B.jpg", "照片b.jpg", "plain.txt"},
         {}},
        {"renamed in order", on + QStringLiteral("/D2"), on + QStringLiteral("/T2"), {}, {}},
        {"split", on + QStringLiteral("/D3"), on + QStringLiteral("/T3"), {}, {}},
    };
    pairs(10, &cases[1].items, &cases[1].taken);
    pairs(40, &cases[2].items, &cases[2].taken);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(QDir().mkpath(c.desktop) && QDir().mkpath(c.target));
        for (const QString &name : c.items) {
            write(c.desktop + QLatin1Char('/') + name);
        }
        for (const QString &name : c.taken) {
            write(c.target + QLatin1Char('/') + name);
        }
        const QHash<QString, QString> expected = OneAtATimeIgnoringCase(c.desktop, c.taken);
        const OrganizeOutcome outcome =
            RunOrganize({c.desktop, c.target, dir.path() + QStringLiteral("/journal")}, {});
        EXPECT_EQ(outcome.moved, c.items.size());
        for (const ManifestElement &record : outcome.records) {
            const QString name = LastPathComponent(record.originalPath());
            EXPECT_EQ(LastPathComponent(record.storedPath()), expected.value(name));
        }
        QStringList stored = expected.values() + c.taken;
        stored.sort();
        EXPECT_EQ(names(c.target), stored);
    }

    // Back onto it from another volume: the newer record takes the name,
    // the older one is numbered, as the numbering rule says.
    const QString shm = otherVolume();
    if (shm.isEmpty()) {
        GTEST_SKIP() << "no second file system at /dev/shm for the restore";
    }
    const QString back = on + QStringLiteral("/D4");
    ASSERT_TRUE(QDir().mkpath(back));
    ManifestStore records;
    for (const QString &name : {QStringLiteral("A.txt"), QStringLiteral("a.txt")}) {
        write(shm + QLatin1Char('/') + name);
        records.append(
            RestoreRecord(back + QLatin1Char('/') + name, shm + QLatin1Char('/') + name, 0));
    }
    const RestoreOutcome restore = RunRestore({records, QString(), nullptr}, {});
    EXPECT_EQ(restore.restored, 2);
    EXPECT_EQ(names(back), (QStringList{QStringLiteral("A 1.txt"), QStringLiteral("a.txt")}));
}
#endif

TEST_F(EngineRunTest, AStopBetweenItemsKeepsEveryCompletedMoveAndLeavesTheRest) {
    constexpr int Items = 20;
    for (int i = 0; i < Items; ++i) {
        write(desktop + QStringLiteral("/f%1").arg(i));
    }
    std::atomic<bool> stop{false};
    int moves = 0;
    TestHooks().moveFault = [&](const QByteArray &) {
        if (++moves == 7) {
            stop = true; // as a quit would, while the seventh move is made
        }
        return 0;
    };
    RunSink sink;
    QStringList messages;
    sink.message = [&messages](const QString &m) {
        messages.append(m);
    };
    const OrganizeOutcome outcome = organize(target, sink, &stop);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.moved, 7);
    EXPECT_EQ(outcome.moved + outcome.skipped, Items);
    EXPECT_EQ(outcome.records.size(), 7);
    EXPECT_EQ(names(target).size(), 7);
    EXPECT_EQ(names(desktop).size(), Items - 7);
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(EngineRunTest, AStoppedRestoreKeepsUnvisitedRecordsInTheirOrder) {
    ManifestStore records;
    for (int i = 0; i < 6; ++i) {
        const QString name = QStringLiteral("r%1").arg(i);
        write(target + QLatin1Char('/') + name);
        records.append(
            RestoreRecord(desktop + QLatin1Char('/') + name, target + QLatin1Char('/') + name, i));
    }
    std::atomic<bool> stop{false};
    int moves = 0;
    TestHooks().moveFault = [&](const QByteArray &) {
        stop = ++moves == 2;
        return moves == 1 ? EACCES : 0; // the newest record fails and is kept
    };
    QStringList messages;
    RunSink sink;
    sink.message = [&messages](const QString &m) {
        messages.append(m);
    };
    const RestoreOutcome outcome = RunRestore({records, QString(), &stop}, sink);
    EXPECT_TRUE(outcome.stopped);
    EXPECT_EQ(outcome.restored, 1);
    EXPECT_EQ(messages, QStringList{QStringLiteral("还原 r5 失败：没有权限")});
    // r0..r3 unvisited, as they were; then r5, visited and kept.
    ASSERT_EQ(outcome.retained.size(), 5);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(outcome.retained.at(i), records.at(i));
    }
    EXPECT_EQ(outcome.retained.at(4), records.at(5));
    EXPECT_EQ(names(desktop), QStringList{QStringLiteral("r4")});
}

// A stop inside a copy to another volume ends it within 8 MB: the half copy
// goes, the source stays whole.
TEST_F(EngineRunTest, AStopInsideACrossVolumeCopyLeavesTheSourceWhole) {
    QTemporaryDir other(QStringLiteral("/dev/shm/kestrue-test-XXXXXX"));
    struct stat here {
    }, there{};
    if (!other.isValid() || ::stat(QFile::encodeName(dir.path()).constData(), &here) != 0 ||
        ::stat(QFile::encodeName(other.path()).constData(), &there) != 0 ||
        here.st_dev == there.st_dev) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    const QByteArray data(40 << 20, 'd');
    write(desktop + QStringLiteral("/big"), data);
    std::atomic<bool> stop{false};
    qint64 seen = 0;
    qint64 total = 0;
    RunSink sink;
    sink.progress = [&](const RunProgress &progress) {
        // Told once as the copy starts, then as its bytes arrive.
        if (!progress.copying.isEmpty() && progress.copiedBytes > 0) {
            seen = progress.copiedBytes;
            total = progress.totalBytes;
            stop = true;
        }
    };
    const OrganizeOutcome outcome = organize(other.path(), sink, &stop);
    EXPECT_EQ(total, data.size());
    EXPECT_GT(seen, 0);
    EXPECT_LE(seen, 8 << 20);
    EXPECT_EQ(outcome.moved, 0);
    EXPECT_TRUE(QDir(other.path())
                    .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                    .isEmpty());
    QFile big(desktop + QStringLiteral("/big"));
    ASSERT_TRUE(big.open(QIODevice::ReadOnly));
    EXPECT_TRUE(big.readAll() == data);
}

// A lock on an entry, taken off again whatever the case ends with, so that
// its folders can be removed.
struct Lock {
    Lock(const QString &path, bool appendOnly)
        : path(QFile::encodeName(path)), appendOnly(appendOnly),
          err(portable::SetLock(this->path.constData(), appendOnly, true)) {}
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    ~Lock() {
        if (err == 0) {
            portable::SetLock(path.constData(), appendOnly, false);
        }
    }
    QByteArray path;
    bool appendOnly;
    int err; // 0, or why the system refused it
};

// An item goes to another volume only when all of it can leave: a locked
// entry anywhere in it keeps it whole where it is, with nothing of it in the
// target, and one line names the entry. Restore's moves back alike.
TEST_F(EngineRunTest, AnItemThatCannotLeaveWholeStaysWithoutACopy) {
    const QString usb = otherVolume();
    if (usb.isEmpty()) {
        GTEST_SKIP() << "no second file system at /dev/shm";
    }
    const QString album = desktop + QStringLiteral("/相册");
    ASSERT_TRUE(QDir().mkpath(album + QStringLiteral("/2024")));
    for (const char *photo : {"p1.jpg", "p2.jpg", "p3.jpg", "2024/p4.jpg"}) {
        write(album + QLatin1Char('/') + QLatin1String(photo));
    }
    ASSERT_TRUE(QDir().mkpath(desktop + QStringLiteral("/日志")));
    write(desktop + QStringLiteral("/日志/a.log"));
    write(desktop + QStringLiteral("/locked.txt"));
    write(desktop + QStringLiteral("/plain.txt"));
    write(usb + QStringLiteral("/back.txt"));
    const Lock locks[] = {{desktop + QStringLiteral("/locked.txt"), false},
                          {album + QStringLiteral("/p3.jpg"), false},
                          {desktop + QStringLiteral("/日志/a.log"), true},
                          {usb + QStringLiteral("/back.txt"), false}};
    for (const Lock &lock : locks) {
        if (lock.err != 0) {
            GTEST_SKIP() << "this system will not lock " << lock.path.toStdString() << ": "
                         << std::strerror(lock.err);
        }
    }
    QStringList messages;
    RunSink sink;
    sink.message = [&messages](const QString &m) {
        messages.append(m);
    };

    const OrganizeOutcome outcome = organize(usb, sink);
    EXPECT_EQ(outcome.moved, 1);
    messages.sort();
    EXPECT_EQ(messages,
              (QStringList{QStringLiteral("跳过 locked.txt：无法移走（不允许的操作）"),
                           QStringLiteral("跳过 日志：其中的 a.log 无法移走（不允许的操作）"),
                           QStringLiteral("跳过 相册：其中的 p3.jpg 无法移走（不允许的操作）")}));
    EXPECT_EQ(QDir(usb).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              (QStringList{QStringLiteral("back.txt"), QStringLiteral("plain.txt")}));
    EXPECT_EQ(names(desktop), (QStringList{QStringLiteral("locked.txt"), QStringLiteral("日志"),
                                           QStringLiteral("相册")}));
    EXPECT_EQ(names(album), (QStringList{QStringLiteral("2024"), QStringLiteral("p1.jpg"),
                                         QStringLiteral("p2.jpg"), QStringLiteral("p3.jpg")}));

    ManifestStore records;
    records.append(
        RestoreRecord(desktop + QStringLiteral("/back.txt"), usb + QStringLiteral("/back.txt"), 0));
    messages.clear();
    const RestoreOutcome restore = RunRestore({records, QString(), nullptr}, sink);
    EXPECT_EQ(restore.restored, 0);
    EXPECT_EQ(restore.retained.size(), 1);
    EXPECT_EQ(messages,
              QStringList{QStringLiteral("还原 back.txt 失败：无法移走（不允许的操作）")});
    EXPECT_FALSE(QFile::exists(desktop + QStringLiteral("/back.txt")));
}

// A sync that fails (an I/O error, a quota) stops what it was to make safe:
// nothing is moved that was not announced on the disk, and no source goes
// before its copy is there. Every item stays whole on the Desktop.
TEST_F(EngineRunTest, AFailedSyncLosesNothingAndSaysWhy) {
    struct Case {
        const char *what;
        bool across;
        const char *failing; // "journal", its "folder" or "target"
        int failAt;          // which sync of that path fails, from 1
        const char *message;
    };
    const Case cases[] = {
        {"announcing the batch", false, "journal", 1, "无法写入还原记录（%1），已停止整理"},
        {"making a new journal's name durable", false, "folder", 1,
         "无法写入还原记录（%1），已停止整理"},
        {"announcing the copies", true, "journal", 2, "跳过 a：%1"},
        {"syncing the copies", true, "target", 1, "跳过 a：%1"},
        {"syncing their new names", true, "target", 2, "跳过 a：%1"},
        {"announcing the copies in place", true, "journal", 3, "跳过 a：%1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const QString into = c.across ? otherVolume() : target;
        if (into.isEmpty()) {
            GTEST_SKIP() << "no second file system at /dev/shm";
        }
        QDir(desktop).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(desktop + QStringLiteral("/b")));
        write(desktop + QStringLiteral("/a"), "alpha");
        write(desktop + QStringLiteral("/b/inner"), "inner");
        QFile::remove(dir.path() + QStringLiteral("/journal"));
        const QLatin1String kind(c.failing);
        const QByteArray failing = QFile::encodeName(kind == QLatin1String("journal")
                                                         ? dir.path() + QStringLiteral("/journal")
                                                     : kind == QLatin1String("folder") ? dir.path()
                                                                                       : into);
        int seen = 0;
        TestHooks().syncFault = [&](const QByteArray &path) {
            return path == failing && ++seen == c.failAt ? EIO : 0;
        };
        QStringList messages;
        RunSink sink;
        sink.message = [&messages](const QString &m) {
            messages.append(m);
        };
        const OrganizeOutcome outcome = organize(into, sink);
        TestHooks().syncFault = {};
        EXPECT_EQ(seen, c.failAt);
        EXPECT_EQ(outcome.moved, 0);
        EXPECT_EQ(outcome.skipped, 2);
        // One line for a stopped run; one per item that stayed.
        EXPECT_EQ(messages.size(), c.across ? 2 : 1) << messages.join('\n').toStdString();
        EXPECT_TRUE(messages.contains(QString::fromUtf8(c.message).arg(DescribeErrno(EIO))))
            << messages.join('\n').toStdString();
        EXPECT_EQ(names(desktop), (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
        QFile a(desktop + QStringLiteral("/a"));
        QFile inner(desktop + QStringLiteral("/b/inner"));
        ASSERT_TRUE(a.open(QIODevice::ReadOnly) && inner.open(QIODevice::ReadOnly));
        EXPECT_EQ(a.readAll(), "alpha");
        EXPECT_EQ(inner.readAll(), "inner");
        EXPECT_TRUE(
            QDir(into).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    }
}

// A later batch is announced while the one before it moves: when that
// announcement cannot be synced, the batch before still finishes, each of its
// moves recorded and handed on, and nothing after it moves.
TEST_F(EngineRunTest, ALaterBatchThatCannotBeAnnouncedStaysWhole) {
    constexpr int Items = 300;
    for (int i = 0; i < Items; ++i) {
        write(desktop + QStringLiteral("/item %1").arg(i), QByteArray::number(i));
    }
    const QByteArray journal = QFile::encodeName(dir.path() + QStringLiteral("/journal"));
    std::atomic<int> syncs{0};
    TestHooks().syncFault = [&](const QByteArray &path) {
        return path == journal && ++syncs == 2 ? EIO : 0;
    };
    QStringList messages;
    qsizetype handedOn = 0;
    RunSink sink;
    sink.message = [&messages](const QString &m) {
        messages.append(m);
    };
    sink.recorded = [&handedOn](const ManifestStore &records) {
        handedOn += records.size();
    };
    const OrganizeOutcome outcome = organize(target, sink);
    TestHooks().syncFault = {};

    const qint64 firstBatch = outcome.moved;
    EXPECT_GT(firstBatch, 0);
    EXPECT_LT(firstBatch, Items);
    EXPECT_EQ(outcome.skipped, Items - firstBatch);
    EXPECT_EQ(outcome.records.size(), firstBatch);
    EXPECT_EQ(handedOn, firstBatch);
    EXPECT_EQ(
        messages,
        QStringList{QStringLiteral("无法写入还原记录（%1），已停止整理").arg(DescribeErrno(EIO))});
    EXPECT_EQ(names(target).size(), firstBatch);
    EXPECT_EQ(names(desktop).size(), Items - firstBatch);
    for (const ManifestElement &record : outcome.records) {
        EXPECT_TRUE(QFile::exists(record.storedPath()));
    }
}

// The manifest's folder sync: an I/O error or a full quota is a failed save;
// a file system that cannot sync a folder at all keeps no promise to break.
TEST_F(EngineRunTest, AManifestSaveFailsOnlyWhenItsFolderSyncFails) {
    const QString path = dir.path() + QStringLiteral("/manifest.json");
    for (const int err : {EIO, ENOSPC, EDQUOT, EINVAL, ENOTSUP}) {
        SCOPED_TRACE(err);
        TestHooks().syncFault = [&](const QByteArray &synced) {
            return synced == QFile::encodeName(dir.path()) ? err : 0;
        };
        Error error;
        const bool saved = WriteFileAtomically(path, QByteArray::number(err), &error);
        const bool ignorable = err == EINVAL || err == ENOTSUP;
        EXPECT_EQ(saved, ignorable);
        if (!ignorable) {
            EXPECT_EQ(error.code, err);
        }
    }
}

// The target is checked, and made where it is missing, before a run.
class TargetPreparationTest : public EngineRunTest {};

TEST_F(TargetPreparationTest, RefusesEmptyAndNonFolderPaths) {
    Error error;
    EXPECT_FALSE(PrepareTargetFolder(QString(), &error));
    EXPECT_EQ(error.domain, AppName);
    EXPECT_EQ(error.code, NoTargetChosen);
    EXPECT_EQ(error.description, QStringLiteral("请先选择指定文件夹。"));
    EXPECT_FALSE(PrepareTargetFolder(QString(), nullptr));

    const QString file = dir.path() + QStringLiteral("/file");
    write(file, "unchanged");
    ASSERT_TRUE(QFile::link(file, dir.path() + QStringLiteral("/link-to-file")));
    for (const QString &path : {file, dir.path() + QStringLiteral("/link-to-file")}) {
        Error refused;
        EXPECT_FALSE(PrepareTargetFolder(path, &refused));
        EXPECT_EQ(refused.code, TargetNotAFolder);
        EXPECT_EQ(refused.description, QStringLiteral("指定路径不是文件夹。"));
    }
    QFile unchanged(file);
    ASSERT_TRUE(unchanged.open(QIODevice::ReadOnly));
    EXPECT_EQ(unchanged.readAll(), "unchanged");
}

TEST_F(TargetPreparationTest, AcceptsOrCreatesFolders) {
    const QString existing = dir.path() + QStringLiteral("/existing");
    ASSERT_TRUE(QDir().mkpath(existing));
    write(existing + QStringLiteral("/content"), "c");
    ASSERT_TRUE(QFile::link(existing, dir.path() + QStringLiteral("/link-to-folder")));
    EXPECT_TRUE(PrepareTargetFolder(existing, nullptr));
    EXPECT_TRUE(PrepareTargetFolder(dir.path() + QStringLiteral("/link-to-folder"), nullptr));
    EXPECT_EQ(names(existing), QStringList{QStringLiteral("content")});

    Error untouched{QStringLiteral("d"), 99, QStringLiteral("unchanged")};
    EXPECT_TRUE(
        PrepareTargetFolder(dir.path() + QStringLiteral("/new/several/levels"), &untouched));
    EXPECT_TRUE(IsDirectory(dir.path() + QStringLiteral("/new/several/levels")));
    EXPECT_EQ(untouched.code, 99) << "success leaves the error alone";
}

TEST_F(TargetPreparationTest, PathUnderAFileFailsWithTheSystemsError) {
    write(dir.path() + QStringLiteral("/file"), "f");
    Error error;
    EXPECT_FALSE(PrepareTargetFolder(dir.path() + QStringLiteral("/file/sub"), &error));
    EXPECT_EQ(error.domain, QStringLiteral("POSIX"));
    EXPECT_FALSE(error.description.isEmpty());
}

} // namespace
