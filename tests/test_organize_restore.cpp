#include "TestSupport.h"
#include "app/Constants.h"
#include "engine/FileSystem.h"
#include "engine/Manifest.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSet>
#include <QSettings>

namespace {

class OrganizeTest : public ControllerTest {
protected:
    void SetUp() override {
        ControllerTest::SetUp();
        target = root() + QStringLiteral("/Target");
        setTarget(target);
    }
    QString d(const QString &name) const { return desktop() + QLatin1Char('/') + name; }
    QString t(const QString &name) const { return target + QLatin1Char('/') + name; }
    QJsonObject record(qsizetype i) const { return ValuesOf(delegate.manifest()).at(i).toObject(); }
    QString closing(qint64 moved, qint64 skipped) const {
        return QStringLiteral("整理完成：移动 %1 个项目，跳过 %2 个项目。").arg(moved).arg(skipped);
    }
    QString restored(qint64 count, qint64 skipped) const {
        return QStringLiteral("还原完成：还原 %1 个项目，跳过 %2 个项目。").arg(count).arg(skipped);
    }
    QStringList visibleNames(const QString &folder) const {
        QStringList names = Names(folder);
        names.removeIf([](const QString &n) { return n.startsWith(QLatin1Char('.')); });
        return names;
    }

    QString target;
};

TEST_F(OrganizeTest, RoundTripBringsEveryKindOfItemBack) {
    WriteFile(d(QStringLiteral("report.pdf")), "pdf");
    WriteFile(d(QStringLiteral("带 空格 的 文件.txt")), "cjk");
    MakeDir(d(QStringLiteral("Photos/2024")));
    WriteFile(d(QStringLiteral("Photos/2024/a.jpg")), "jpg");
    const QStringList before = Names(desktop());

    const qint64 start = QDateTime::currentSecsSinceEpoch();
    Organize(delegate);
    EXPECT_EQ(logMessages(), QStringList{closing(3, 0)});
    EXPECT_TRUE(visibleNames(desktop()).isEmpty());
    EXPECT_EQ(visibleNames(target), before);
    EXPECT_EQ(ReadFile(t(QStringLiteral("Photos/2024/a.jpg"))), "jpg");
    ASSERT_EQ(delegate.manifest().size(), 3);
    for (qsizetype i = 0; i < 3; ++i) {
        const QJsonObject r = record(i);
        EXPECT_EQ(r.size(), 4);
        const QString name = r.value(QStringLiteral("name")).toString();
        EXPECT_EQ(r.value(QStringLiteral("originalPath")).toString(), d(name));
        EXPECT_EQ(r.value(QStringLiteral("storedPath")).toString(), t(name));
        EXPECT_TRUE(r.value(QStringLiteral("movedAt")).isDouble());
        EXPECT_GE(r.value(QStringLiteral("movedAt")).toInteger(), start);
    }
    EXPECT_EQ(QJsonDocument::fromJson(
                  ReadFile(supportFolder() + QStringLiteral("/restore-manifest.json")))
                  .array(),
              ValuesOf(delegate.manifest()));
    EXPECT_EQ(ReadFile(t(QStringLiteral(".desktop-organizer-restore.json"))),
              ReadFile(supportFolder() + QStringLiteral("/restore-manifest.json")));
    EXPECT_EQ(delegate.summaryField()->text(),
              QStringLiteral("完成情况：已记录 3 个可还原项目。隐藏项目和目标文件夹默认跳过。"));

    Restore(delegate);
    EXPECT_EQ(logMessages().last(), restored(3, 0));
    EXPECT_EQ(Names(desktop()), before);
    EXPECT_EQ(ReadFile(d(QStringLiteral("Photos/2024/a.jpg"))), "jpg");
    EXPECT_TRUE(delegate.manifest().isEmpty());
    EXPECT_EQ(QJsonDocument::fromJson(
                  ReadFile(supportFolder() + QStringLiteral("/restore-manifest.json")))
                  .array(),
              QJsonArray());
}

TEST_F(OrganizeTest, TakenNamesGetNumberedAndComeBackUnderTheirOwnName) {
    MakeDir(target);
    WriteFile(t(QStringLiteral("report.pdf")), "already there");
    WriteFile(d(QStringLiteral("report.pdf")), "first");
    Organize(delegate);
    EXPECT_EQ(ReadFile(t(QStringLiteral("report 1.pdf"))), "first");
    EXPECT_EQ(record(0).value(QStringLiteral("name")).toString(), QStringLiteral("report.pdf"));
    EXPECT_EQ(record(0).value(QStringLiteral("storedPath")).toString(),
              t(QStringLiteral("report 1.pdf")));

    WriteFile(d(QStringLiteral("report.pdf")), "second");
    Organize(delegate);
    EXPECT_EQ(ReadFile(t(QStringLiteral("report 2.pdf"))), "second");
    ASSERT_EQ(delegate.manifest().size(), 2);

    Restore(delegate);
    EXPECT_EQ(ReadFile(d(QStringLiteral("report.pdf"))), "second") << "newest record first";
    EXPECT_EQ(ReadFile(d(QStringLiteral("report 1.pdf"))), "first");
    EXPECT_EQ(ReadFile(t(QStringLiteral("report.pdf"))), "already there");
}

TEST_F(OrganizeTest, NumberedNamesNeverCollideWithOtherItemsOfTheSameRun) {
    MakeDir(target);
    WriteFile(t(QStringLiteral("a.txt")), "already there");
    for (const char *name : {"a.txt", "a 1.txt", "a 2.txt"}) {
        WriteFile(d(QString::fromUtf8(name)), name);
    }
    Organize(delegate);
    EXPECT_EQ(logMessages(), QStringList{closing(3, 0)});
    ASSERT_EQ(delegate.manifest().size(), 3);
    QSet<QString> stored;
    for (qsizetype i = 0; i < 3; ++i) {
        const QString path = record(i).value(QStringLiteral("storedPath")).toString();
        stored.insert(path);
        EXPECT_EQ(ReadFile(path), record(i).value(QStringLiteral("name")).toString().toUtf8());
    }
    EXPECT_EQ(stored.size(), 3);
    EXPECT_EQ(ReadFile(t(QStringLiteral("a.txt"))), "already there");
}

// A hidden entry stays where it is, so the numbered name it would have needed
// stays free for the visible item of that name. Eight pairs, created in both
// orders, so that almost any listing order puts some hidden entry first.
TEST_F(OrganizeTest, HiddenEntriesNeverTakeANumberedName) {
    MakeDir(target);
    QByteArray hiddenList;
    QStringList staying{QStringLiteral(".hidden")};
    for (int i = 0; i < 8; ++i) {
        const QString hidden = QStringLiteral("r%1.txt").arg(i);
        const QString numbered = QStringLiteral("r%1 1.txt").arg(i);
        WriteFile(t(hidden), "already there");
        hiddenList += hidden.toUtf8() + '\n';
        staying.append(hidden);
        for (const QString &name :
             i % 2 == 0 ? QStringList{hidden, numbered} : QStringList{numbered, hidden}) {
            WriteFile(d(name), name.toUtf8());
        }
    }
    WriteFile(d(QStringLiteral(".hidden")), hiddenList);
    Organize(delegate);
    EXPECT_EQ(logMessages(), QStringList{closing(8, 9)});
    staying.sort();
    EXPECT_EQ(Names(desktop()), staying);
    ASSERT_EQ(delegate.manifest().size(), 8);
    for (qsizetype i = 0; i < 8; ++i) {
        const QString name = record(i).value(QStringLiteral("name")).toString();
        EXPECT_EQ(record(i).value(QStringLiteral("storedPath")).toString(), t(name))
            << "its own name was free";
        EXPECT_EQ(ReadFile(t(name)), name.toUtf8());
    }
}

TEST_F(OrganizeTest, SkipsHiddenEntriesAndTheFolderHoldingTheTarget) {
    WriteFile(d(QStringLiteral(".DS_Store")), {});
    WriteFile(d(QStringLiteral(".hidden")), "secret\n");
    WriteFile(d(QStringLiteral("secret")), {});
    MakeDir(d(QStringLiteral("Archive/Sorted")));
    MakeDir(d(QStringLiteral("Arch")));
    setTarget(d(QStringLiteral("Archive/Sorted")));
    Organize(delegate);
    EXPECT_EQ(logMessages(), QStringList{closing(1, 4)});
    EXPECT_EQ(Names(desktop()), (QStringList{QStringLiteral(".DS_Store"), QStringLiteral(".hidden"),
                                             QStringLiteral("Archive"), QStringLiteral("secret")}));
    EXPECT_TRUE(IsDirectory(d(QStringLiteral("Archive/Sorted/Arch"))));

    setTarget(d(QStringLiteral("Archive")));
    Organize(delegate);
    EXPECT_EQ(logMessages().last(), closing(0, 4)) << "the target itself stays";
}

TEST_F(OrganizeTest, OnlyHiddenEntriesAndEmptyDesktop) {
    Organize(delegate);
    EXPECT_EQ(logMessages(), QStringList{closing(0, 0)});
    EXPECT_TRUE(EntryExists(t(QStringLiteral(".desktop-organizer-restore.json"))));
    for (const char *name : {".a", ".b", ".c"}) {
        WriteFile(d(QString::fromUtf8(name)), {});
    }
    Organize(delegate);
    EXPECT_EQ(logMessages().last(), closing(0, 3));
}

TEST_F(OrganizeTest, TargetErrorsEndTheRunWithOneLine) {
    WriteFile(d(QStringLiteral("stay")), "s");
    WriteFile(root() + QStringLiteral("/file"), "f");
    struct Case {
        QString target;
        QString line;
    };
    const Case cases[] = {
        {QString(), QStringLiteral("请先选择指定文件夹。")},
        {QStringLiteral(" \t "), QStringLiteral("请先选择指定文件夹。")},
        {root() + QStringLiteral("/file"), QStringLiteral("指定路径不是文件夹。")},
        {root() + QStringLiteral("/file/sub"), QStringLiteral("路径中有一项不是文件夹")},
    };
    for (const Case &c : cases) {
        delegate.logView()->clear();
        setTarget(c.target);
        Organize(delegate);
        EXPECT_EQ(logMessages(), QStringList{c.line}) << c.target.toStdString();
    }
    EXPECT_EQ(ReadFile(d(QStringLiteral("stay"))), "s");
    EXPECT_FALSE(QSettings().contains(TargetFolderKey));
    EXPECT_FALSE(EntryExists(supportFolder() + QStringLiteral("/restore-manifest.json")));
}

TEST_F(OrganizeTest, TargetIsStandardisedCreatedAndRemembered) {
    WriteFile(d(QStringLiteral("a")), "a");
    setTarget(QStringLiteral("~/deep/./er/../Sorted/"));
    Organize(delegate);
    EXPECT_EQ(ReadFile(home() + QStringLiteral("/deep/Sorted/a")), "a");
    EXPECT_EQ(QSettings().value(TargetFolderKey).toString(),
              home() + QStringLiteral("/deep/Sorted"));
    EXPECT_EQ(delegate.targetField()->text(), QStringLiteral("~/deep/./er/../Sorted/"));
    EXPECT_TRUE(
        EntryExists(home() + QStringLiteral("/deep/Sorted/.desktop-organizer-restore.json")));
}

TEST_F(OrganizeTest, RememberedSettingIsUsedWhenTheFieldIsBlank) {
    WriteFile(d(QStringLiteral("a")), "a");
    QSettings().setValue(TargetFolderKey, target);
    setTarget(QString());
    Organize(delegate);
    EXPECT_EQ(ReadFile(t(QStringLiteral("a"))), "a");
}

TEST_F(OrganizeTest, DesktopErrorsEndTheRunAfterTheSettingIsWritten) {
    ASSERT_TRUE(QDir(desktop()).removeRecursively());
    Organize(delegate);
    EXPECT_EQ(logMessages(), QStringList{QStringLiteral("读取桌面失败：项目不存在")});
    EXPECT_EQ(QSettings().value(TargetFolderKey).toString(), target);
    EXPECT_FALSE(EntryExists(supportFolder() + QStringLiteral("/restore-manifest.json")));
}

TEST_F(OrganizeTest, DesktopThatIsTheHomeFolderMovesNothing) {
    MakeDir(home() + QStringLiteral("/.config"));
    WriteFile(home() + QStringLiteral("/.config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"$HOME/\"\n");
    WriteFile(home() + QStringLiteral("/Documents"), "precious");
    ASSERT_EQ(delegate.desktopPath(), home());
    Organize(delegate);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("读取桌面失败：桌面文件夹就是用户主文件夹")));
    EXPECT_EQ(ReadFile(home() + QStringLiteral("/Documents")), "precious");
    EXPECT_TRUE(delegate.manifest().isEmpty());
}

TEST_F(OrganizeTest, DesktopThatLinksToTheHomeFolderMovesNothing) {
    ASSERT_TRUE(QDir(desktop()).removeRecursively());
    ASSERT_TRUE(QFile::link(home(), desktop()));
    WriteFile(home() + QStringLiteral("/Documents"), "precious");
    Organize(delegate);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("读取桌面失败：桌面文件夹就是用户主文件夹")));
    EXPECT_TRUE(LinkExists(desktop()));
    EXPECT_EQ(ReadFile(home() + QStringLiteral("/Documents")), "precious");
}

TEST_F(OrganizeTest, AFailingMoveIsSkippedAndTheRunGoesOn) {
    WriteFile(d(QStringLiteral("before")), "1");
    MakeDir(d(QStringLiteral("box")));
    WriteFile(d(QStringLiteral("after")), "2");
    // The target lies inside "box", but reached through a link its text does
    // not say so: "box" is not skipped, and moving it into itself fails.
    ASSERT_TRUE(QFile::link(d(QStringLiteral("box")), root() + QStringLiteral("/via")));
    setTarget(root() + QStringLiteral("/via/inner"));
    Organize(delegate);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 2) << log.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("跳过 box："))) << log[0].toStdString();
    EXPECT_EQ(log[1], closing(2, 1));
    EXPECT_TRUE(IsDirectory(d(QStringLiteral("box"))));
    EXPECT_EQ(delegate.manifest().size(), 2);
}

TEST_F(OrganizeTest, UndecodableNamesStayWithAClearLine) {
    const QByteArray bad = QFile::encodeName(desktop()) + QByteArray("/bad\xff");
    WriteFile(d(QStringLiteral("placeholder")), "raw");
    ASSERT_EQ(
        ::rename(QFile::encodeName(d(QStringLiteral("placeholder"))).constData(), bad.constData()),
        0);
    Organize(delegate);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].endsWith(QStringLiteral("：文件名无法记录")));
    EXPECT_EQ(log[1], closing(0, 1));
    struct stat st {};
    EXPECT_EQ(::lstat(bad.constData(), &st), 0);
    ::unlink(bad.constData()); // QTemporaryDir cannot see it to remove it
}

// A name cannot start a log line of its own nor reorder one; the record and
// the moved item keep the real name.
TEST_F(OrganizeTest, NamesCannotForgeLogLines) {
    const QString forged =
        QStringLiteral("box\n[12:00:00] 整理完成：移动 99 个项目，跳过 0 个项目。");
    const QString moving = QStringLiteral("\u202Etab\there\r\u2028.txt");
    MakeDir(d(forged));
    WriteFile(d(moving), "m");
    // The target lies inside the forged folder, reached through a link, so
    // that folder's move fails (into itself) and is logged.
    ASSERT_TRUE(QFile::link(d(forged), root() + QStringLiteral("/via")));
    const QString inner = root() + QStringLiteral("/via/inner");
    setTarget(inner);
    Organize(delegate);

    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 2) << log.join(QLatin1Char('|')).toStdString();
    const QString shown =
        QStringLiteral("跳过 box\\n[12:00:00] 整理完成：移动 99 个项目，跳过 0 个项目。：");
    EXPECT_TRUE(log[0].startsWith(shown)) << log[0].toStdString();
    EXPECT_EQ(log[1], closing(1, 1));
    EXPECT_TRUE(IsDirectory(d(forged)));

    ASSERT_EQ(delegate.manifest().size(), 1);
    EXPECT_EQ(record(0).value(QStringLiteral("originalPath")).toString(), d(moving));
    EXPECT_EQ(record(0).value(QStringLiteral("storedPath")).toString(),
              inner + QLatin1Char('/') + moving);
    EXPECT_EQ(ReadFile(inner + QLatin1Char('/') + moving), "m");
    Restore(delegate);
    EXPECT_EQ(ReadFile(d(moving)), "m");
    EXPECT_EQ(logMessages().last(), restored(1, 0));
}

TEST_F(OrganizeTest, TargetThatIsTheDesktopRenamesInPlace) {
    WriteFile(d(QStringLiteral("report.pdf")), "r");
    setTarget(desktop());
    Organize(delegate);
    EXPECT_EQ(Names(desktop()), (QStringList{QStringLiteral(".desktop-organizer-restore.json"),
                                             QStringLiteral("report 1.pdf")}));
    EXPECT_EQ(logMessages(), QStringList{closing(1, 0)});
}

class RestoreTest : public OrganizeTest {
protected:
    QJsonObject rec(const QString &stored, const QString &original) const {
        QJsonObject r;
        if (!stored.isNull()) {
            r.insert(QStringLiteral("storedPath"), stored);
        }
        if (!original.isNull()) {
            r.insert(QStringLiteral("originalPath"), original);
        }
        return r;
    }
};

TEST_F(RestoreTest, EmptyManifestLogsOneLineAndSavesNothing) {
    Restore(delegate);
    EXPECT_EQ(logMessages(), QStringList{QStringLiteral("没有找到可还原记录。")});
    EXPECT_FALSE(EntryExists(supportFolder() + QStringLiteral("/restore-manifest.json")));
    EXPECT_EQ(delegate.summaryField()->text(), QString());
}

TEST_F(RestoreTest, UnusableRecordsAreDroppedSilently) {
    MakeDir(target);
    WriteFile(t(QStringLiteral("present")), "p");
    delegate.setManifest(StoreOf(QJsonArray{
        rec(QString(), d(QStringLiteral("a"))),
        rec(t(QStringLiteral("present")), QString()),
        rec(QStringLiteral(""), d(QStringLiteral("b"))),
        rec(t(QStringLiteral("gone")), d(QStringLiteral("gone"))),
        QJsonValue(5),
        QJsonObject{{QStringLiteral("storedPath"), 3}, {QStringLiteral("originalPath"), true}},
    }));
    Restore(delegate);
    EXPECT_EQ(logMessages(), QStringList{restored(0, 6)});
    EXPECT_TRUE(delegate.manifest().isEmpty());
    EXPECT_EQ(ReadFile(t(QStringLiteral("present"))), "p");
}

// A deleted item's record goes; a record whose whole folder is missing (an
// unplugged disk, a renamed folder) waits until the folder is back.
TEST_F(RestoreTest, RecordsWaitForAMissingFolderButNotForADeletedItem) {
    const QString away = root() + QStringLiteral("/Unplugged");
    const QString usb = root() + QStringLiteral("/USB");
    MakeDir(away);
    WriteFile(d(QStringLiteral("deleted")), "1");
    Organize(delegate);
    WriteFile(d(QStringLiteral("on disk")), "2");
    setTarget(usb);
    Organize(delegate);
    ASSERT_TRUE(QFile::remove(t(QStringLiteral("deleted"))));
    ASSERT_TRUE(QDir().rename(usb, away + QStringLiteral("/T")));

    Restore(delegate);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 4) << log.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(log[2],
              QStringLiteral("跳过 on disk：存放文件夹 %1 不存在（磁盘可能未连接），记录已保留")
                  .arg(usb));
    EXPECT_EQ(log[3], restored(0, 2));
    ASSERT_EQ(delegate.manifest().size(), 1);
    EXPECT_EQ(delegate.manifest().at(0).storedPath(), usb + QStringLiteral("/on disk"));

    ASSERT_TRUE(QDir().rename(away + QStringLiteral("/T"), usb));
    Restore(delegate);
    EXPECT_EQ(logMessages().last(), restored(1, 0));
    EXPECT_EQ(ReadFile(d(QStringLiteral("on disk"))), "2");
    EXPECT_TRUE(delegate.manifest().isEmpty());
}

TEST_F(RestoreTest, FailedMovesAreRetainedReversedAndLogged) {
    MakeDir(target);
    WriteFile(root() + QStringLiteral("/blocker"), "b");
    QJsonArray records;
    for (const char *name : {"one", "two", "three"}) {
        WriteFile(t(QString::fromUtf8(name)), name);
        QJsonObject r = rec(t(QString::fromUtf8(name)),
                            root() + QStringLiteral("/blocker/") + QString::fromUtf8(name));
        r.insert(QStringLiteral("extra"), QString::fromUtf8(name));
        records.append(r);
    }
    delegate.setManifest(StoreOf(records));
    Restore(delegate);
    const QStringList log = logMessages();
    ASSERT_EQ(log.size(), 4);
    EXPECT_EQ(log[0], QStringLiteral("还原 three 失败：路径中有一项不是文件夹"));
    EXPECT_EQ(log[1], QStringLiteral("还原 two 失败：路径中有一项不是文件夹"));
    EXPECT_EQ(log[2], QStringLiteral("还原 one 失败：路径中有一项不是文件夹"));
    EXPECT_EQ(log[3], restored(0, 3));
    const QJsonArray expected{records[2], records[1], records[0]};
    EXPECT_EQ(ValuesOf(delegate.manifest()), expected);
    EXPECT_EQ(delegate.summaryField()->text(),
              QStringLiteral("完成情况：已记录 3 个可还原项目。隐藏项目和目标文件夹默认跳过。"));
}

TEST_F(RestoreTest, FailedNamesAreShownEscapedAndKeptInTheRecord) {
    MakeDir(target);
    WriteFile(root() + QStringLiteral("/blocker"), "b");
    const QString name = QStringLiteral("one\u2028two\u202E\r\x1b.txt");
    WriteFile(t(name), "1");
    delegate.setManifest(
        StoreOf(QJsonArray{rec(t(name), root() + QStringLiteral("/blocker/") + name)}));
    Restore(delegate);
    EXPECT_EQ(logMessages(), (QStringList{QStringLiteral("还原 one\\u2028two\\u202E\\r\\u001B.txt "
                                                         "失败：路径中有一项不是文件夹"),
                                          restored(0, 1)}));
    ASSERT_EQ(delegate.manifest().size(), 1);
    EXPECT_EQ(record(0).value(QStringLiteral("storedPath")).toString(), t(name));
    EXPECT_EQ(ReadFile(t(name)), "1");
}

TEST_F(RestoreTest, OccupiedPlaceGetsAFreeVariantAndMissingFoldersAreCreated) {
    WriteFile(d(QStringLiteral("note.txt")), "organized");
    Organize(delegate);
    WriteFile(d(QStringLiteral("note.txt")), "created later");
    MakeDir(target + QStringLiteral("/x"));
    WriteFile(target + QStringLiteral("/x/deep"), "deep");
    ManifestStore records{delegate.manifest().at(0)};
    records.append(StoreOf(QJsonArray{
        rec(target + QStringLiteral("/x/deep"), root() + QStringLiteral("/new/folder/deep"))}));
    delegate.setManifest(records);
    Restore(delegate);
    EXPECT_EQ(logMessages().last(), restored(2, 0));
    EXPECT_EQ(ReadFile(d(QStringLiteral("note.txt"))), "created later");
    EXPECT_EQ(ReadFile(d(QStringLiteral("note 1.txt"))), "organized");
    EXPECT_EQ(ReadFile(root() + QStringLiteral("/new/folder/deep")), "deep");
}

TEST_F(RestoreTest, MovedDanglingLinkComesBack) {
    ASSERT_TRUE(
        QFile::link(QStringLiteral("/nonexistent/elsewhere"), d(QStringLiteral("shortcut"))));
    Organize(delegate);
    EXPECT_TRUE(LinkExists(t(QStringLiteral("shortcut"))));
    Restore(delegate);
    EXPECT_EQ(logMessages().last(), restored(1, 0));
    EXPECT_TRUE(LinkExists(d(QStringLiteral("shortcut"))));
}

} // namespace
