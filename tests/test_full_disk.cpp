// A full disk where the records or the mirror live, on a real file system: a
// small tmpfs mounted for each case (skipped where mounting is not allowed).

#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/Journal.h"
#include "engine/Manifest.h"

#include <cerrno>

namespace {

TEST_F(Sandbox, AtomicWriterLeavesThePreviousFileOnAFullDisk) {
    const QString folder = root() + QStringLiteral("/small");
    SmallDisk disk(folder, "size=1m");
    REQUIRE_MOUNTED(disk);
    const QString path = folder + QStringLiteral("/file.json");
    ASSERT_TRUE(WriteFileAtomically(path, "previous", nullptr));

    struct Case {
        qint64 freePages;
        qint64 bytes;
    };
    // No room at all; room for part of the bytes, so a write comes up short.
    for (const Case c : {Case{0, 10}, Case{1, 3 * SmallDisk::Page}}) {
        disk.fillLeaving(c.freePages);
        Error error;
        EXPECT_FALSE(WriteFileAtomically(path, QByteArray(c.bytes, 'x'), &error)) << c.freePages;
        EXPECT_EQ(error.code, ENOSPC);
        EXPECT_EQ(error.description, QStringLiteral("磁盘空间不足"));
        EXPECT_EQ(ReadFile(path), "previous");
        EXPECT_EQ(Names(folder),
                  (QStringList{QStringLiteral(".filler"), QStringLiteral("file.json")}))
            << "no temporary file is left behind";
        disk.makeRoom();
    }
    ASSERT_TRUE(WriteFileAtomically(path, QByteArray(3 * SmallDisk::Page, 'y'), nullptr));
    EXPECT_EQ(ReadFile(path), QByteArray(3 * SmallDisk::Page, 'y'));
}

class FullDiskTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        target = root() + QStringLiteral("/Target");
        MakeDir(target);
        setTarget(target);
        disk = std::make_unique<SmallDisk>(supportFolder(), "size=1m");
    }
    void TearDown() override { disk.reset(); }

    QString manifestFile() const { return supportFolder() + QLatin1Char('/') + ManifestFileName; }
    QStringList visible(const QString &folder) const {
        QStringList names = Names(folder);
        names.removeIf([](const QString &n) { return n.startsWith(QLatin1Char('.')); });
        return names;
    }
    // A fresh start with room on the disk again: every item that left the
    // Desktop must come back.
    void restartAndRestoreAll(const QStringList &desktopNames) {
        disk->makeRoom();
        Restore(*FreshStart());
        EXPECT_EQ(visible(desktop()), desktopNames);
        EXPECT_TRUE(visible(target).isEmpty())
            << visible(target).join(QLatin1Char(' ')).toStdString();
    }
    QStringList makeDesktop(int count, int nameLength) {
        QStringList names;
        for (int i = 0; i < count; ++i) {
            const QString name = QStringLiteral("%1").arg(i, 3, 10, QLatin1Char('0')) +
                                 QString(nameLength - 3, QLatin1Char('n'));
            names.append(name);
            WriteFile(desktop() + QLatin1Char('/') + name, name.toUtf8());
        }
        names.sort();
        return names;
    }

    QString target;
    std::unique_ptr<SmallDisk> disk;
};

TEST_F(FullDiskTest, FullBeforeTheRunMovesNothingAndSaysWhy) {
    REQUIRE_MOUNTED(*disk);
    const QStringList names = makeDesktop(3, 8);
    disk->fillLeaving(0);
    Organize(delegate);
    EXPECT_EQ(logMessages(),
              (QStringList{QStringLiteral("无法写入还原记录（磁盘空间不足），已停止整理"),
                           QStringLiteral("保存还原记录失败：磁盘空间不足"),
                           QStringLiteral("整理完成：移动 0 个项目，跳过 3 个项目。")}));
    EXPECT_EQ(visible(desktop()), names);
    EXPECT_TRUE(visible(target).isEmpty());
}

TEST_F(FullDiskTest, FullPartWayRecordsEveryMoveMade) {
    REQUIRE_MOUNTED(*disk);
    constexpr int Items = 200;
    const QStringList names = makeDesktop(Items, 200);
    // Room for the first announcements of moves, not for all of them.
    const qint64 line = 40 + QFile::encodeName(desktop() + QLatin1Char('/') + names[0]).size() +
                        QFile::encodeName(target + QLatin1Char('/') + names[0]).size();
    disk->fillLeaving((line * 64 * 13 / 10 + SmallDisk::Page - 1) / SmallDisk::Page);
    Organize(delegate);

    const qint64 moved = visible(target).size();
    ASSERT_GT(moved, 0);
    ASSERT_LT(moved, Items);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 3) << log.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(log[0], QStringLiteral("无法写入还原记录（磁盘空间不足），已停止整理"));
    EXPECT_EQ(log[1], QStringLiteral("保存还原记录失败：磁盘空间不足"));
    EXPECT_EQ(
        log[2],
        QStringLiteral("整理完成：移动 %1 个项目，跳过 %2 个项目。").arg(moved).arg(Items - moved));
    EXPECT_TRUE(EntryExists(JournalPathFor(manifestFile())));
    restartAndRestoreAll(names);
}

TEST_F(FullDiskTest, ManifestSaveAloneFailsKeepsTheJournal) {
    REQUIRE_MOUNTED(*disk);
    // Earlier records large enough that the new manifest needs more room
    // than is left, while the run's few journal lines fit.
    ManifestStore earlier;
    for (int i = 0; i < 40; ++i) {
        const QString gone =
            root() + QStringLiteral("/gone/") + QString(150, QLatin1Char('g')) + QString::number(i);
        earlier.append(RestoreRecord(gone, gone, i));
    }
    delegate.setManifest(earlier);
    delegate.saveManifest();
    const QByteArray before = ReadFile(manifestFile());
    ASSERT_GT(before.size(), 4 * SmallDisk::Page);

    const QStringList names = makeDesktop(3, 8);
    disk->fillLeaving(2);
    Organize(delegate);
    const QStringList log = logMessages();
    EXPECT_EQ(log, (QStringList{QStringLiteral("保存还原记录失败：磁盘空间不足"),
                                QStringLiteral("整理完成：移动 3 个项目，跳过 0 个项目。")}));
    EXPECT_EQ(ReadFile(manifestFile()), before);
    EXPECT_TRUE(EntryExists(JournalPathFor(manifestFile())));
    restartAndRestoreAll(names);
}

TEST_F(FullDiskTest, FullMirrorFolderKeepsThePreviousMirror) {
    disk.reset();
    SmallDisk targetDisk(target, "size=1m");
    REQUIRE_MOUNTED(targetDisk);
    const QString mirror = target + QLatin1Char('/') + MirrorFileName;
    WriteFile(mirror, "[\n]\n");
    targetDisk.fillLeaving(0);
    delegate.setManifest(ManifestStore{
        RestoreRecord(desktop() + QStringLiteral("/a"), target + QStringLiteral("/a"), 1)});
    delegate.saveManifest();
    EXPECT_EQ(ReadFile(mirror), "[\n]\n");
    EXPECT_EQ(ManifestStore::parse(ReadFile(manifestFile())), delegate.manifest());
    EXPECT_TRUE(logMessages().isEmpty()) << "the mirror's failure stays silent";
}

} // namespace
